// The run-time binding of tty.dll and the ANSI boundary (see velkomod.h).
#include "velkomod.h"

#include <cstdlib>

namespace velkomod {

namespace {

constexpr const wchar_t *kFixedPath = L"c:\\zantic\\tty.dll";

[[noreturn]] void fail(const std::wstring &text)
{
    showMessage(nullptr, text);
    ExitProcess(EXIT_FAILURE);
}

std::wstring systemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring out = n ? std::wstring(text, n) : L"error " + std::to_wstring(error);
    LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r'))
        out.pop_back();
    return out;
}

HMODULE library()
{
    static const HMODULE handle = [] {
        const std::wstring path = libraryPath();
        const HMODULE h = LoadLibraryW(path.c_str());
        if (!h)
            fail(L"Cannot load the library " + path + L": " + systemMessage(GetLastError()));
        return h;
    }();
    return handle;
}

} // namespace

std::wstring libraryPath()
{
    if (GetFileAttributesW(kFixedPath) != INVALID_FILE_ATTRIBUTES)
        return kFixedPath;
    std::wstring exe(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, exe.data(), DWORD(exe.size()));
        if (n < exe.size()) {
            exe.resize(n);
            break;
        }
        exe.resize(exe.size() * 2);
    }
    return exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"tty.dll";
}

LibraryFunction lookup(const char *name)
{
    const FARPROC proc = GetProcAddress(library(), name);
    if (!proc) {
        const DWORD error = GetLastError();
        fail(L"The library " + libraryPath() + L" has no function " +
             std::wstring(name, name + std::char_traits<char>::length(name)) + L": " +
             systemMessage(error));
    }
    return reinterpret_cast<LibraryFunction>(proc);
}

std::string ansiBytes(char32_t c)
{
    wchar_t units[2];
    int count = 1;
    if (c >= 0x10000 && c <= 0x10FFFF) {
        units[0] = wchar_t(0xD800 + ((c - 0x10000) >> 10));
        units[1] = wchar_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        count = 2;
    } else if (c < 0xD800 || (c > 0xDFFF && c < 0x10000)) {
        units[0] = wchar_t(c);
    } else {
        return {};
    }
    char bytes[8];
    BOOL substituted = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, count, bytes,
                                      sizeof bytes, nullptr, &substituted);
    if (n <= 0 || substituted)
        return {};
    return std::string(bytes, size_t(n));
}

bool ansiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

std::wstring fromAnsi(const char *bytes, size_t count)
{
    if (count == 0)
        return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes, int(count), nullptr, 0);
    std::wstring text(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, bytes, int(count), text.data(), n);
    return text;
}

void showMessage(HWND owner, std::wstring_view text)
{
    const std::wstring copy(text);
    MessageBoxW(owner, copy.c_str(), kProgramName, MB_OK);
}

} // namespace velkomod

zantic::core::LibraryFunction zantic::core::lookup(const char *name)
{
    return velkomod::lookup(name);
}
