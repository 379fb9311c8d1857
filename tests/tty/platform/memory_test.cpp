// The layer when memory runs out: its calls fail with ERROR_NOT_ENOUGH_MEMORY and never throw,
// since the library's functions may not let an exception out. No real part can make one
// allocation fail at a chosen moment, so this program replaces the global allocator with one
// that fails on demand (its own executable, so that no other test runs on it).
#include "ptys.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
bool failing = false;
}

void *operator new(std::size_t n)
{
    if (!failing)
        if (void *p = std::malloc(n ? n : 1))
            return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return ::operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    try {
        return ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept { return ::operator new(n, t); }
// Not inlined: the compiler would then see free() meet a pointer from operator new.
[[gnu::noinline]] void operator delete(void *p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void *p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void *p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

// Must be the first call into the layer in its process (ctest runs each test in its own):
// the layer sets up its handle table then.
TEST(LayerMemory, FirstCallOfTheProcess)
{
    bool threw = false;
    BOOL closed = TRUE;
    failing = true;
    try {
        closed = CloseHandle(HANDLE(uintptr_t(5)));
    } catch (...) {
        threw = true;
    }
    failing = false;
    EXPECT_FALSE(threw);
    EXPECT_FALSE(closed);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

class LayerMemoryPty : public PtyTest {};

TEST_F(LayerMemoryPty, OpeningAndPendingTransfers)
{
    const int master = addPort(1);
    HANDLE h = openPort(1);
    char buf[4] = {};
    DWORD n = 0;
    OVERLAPPED ov {};
    bool threw = false;
    HANDLE second = nullptr;
    BOOL read = TRUE;
    DWORD openError = 0, readError = 0;
    failing = true;
    try {
        second = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        openError = GetLastError();
        read = ReadFile(h, buf, 1, &n, &ov); // nothing waits: it would have to be pending
        readError = GetLastError();
    } catch (...) {
        threw = true;
    }
    failing = false;
    ASSERT_FALSE(threw);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openError, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(read);
    EXPECT_EQ(readError, ERROR_NOT_ENOUGH_MEMORY);

    // Nothing was left behind: the next read takes the next byte.
    send(master, "m", h, 1);
    ASSERT_TRUE(ReadFile(h, buf, 1, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "m");
    EXPECT_TRUE(CloseHandle(h));
}
