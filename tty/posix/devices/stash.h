// The stash of a device kind that reads a descriptor: bytes moved out of the descriptor's
// queue so that poll() can wait for new ones, and the count of every byte that ever entered
// that queue (WaitCommEvent's history). Reads take from the stash first.
#ifndef TTY_POSIX_STASH_H
#define TTY_POSIX_STASH_H

#include "win32.h"

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace tty::posix {

class Stash {
public:
    // The most the stash holds. Beyond it the bytes stay in the descriptor's queue, so that a
    // device that sends while nobody reads is held back by the queue's flow control (or TCP's)
    // as it would be without event waits, and memory stays bounded.
    static constexpr size_t kLimit = 4096;

    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    // Every byte that has entered the queue, with `waiting` still in it.
    uint64_t arrived(size_t waiting) const { return taken_ + purged_ + bytes_.size() + waiting; }

    // Up to n bytes for a reader: the stash's first, then from `read_fd(dst, n, err)`, which
    // reads the descriptor without waiting. Bytes taken before a failure are returned; the
    // failure shows at the next call.
    template <class ReadFd> ssize_t read(uint8_t *dst, size_t n, DWORD &err, ReadFd read_fd)
    {
        size_t got = std::min(n, bytes_.size());
        if (got > 0) {
            std::memcpy(dst, bytes_.data(), got);
            bytes_.erase(bytes_.begin(), bytes_.begin() + std::ptrdiff_t(got));
        }
        const ssize_t r = read_fd(dst + got, n - got, err);
        if (r < 0 && got == 0)
            return -1;
        got += size_t(r > 0 ? r : 0);
        taken_ += got;
        return ssize_t(got);
    }

    // Moves what waits in the queue (`waiting` bytes) in, as far as there is room. The count
    // moved, or -1 with `err` set; `full` tells that bytes are left in the queue.
    template <class ReadFd> ssize_t take_in(size_t waiting, DWORD &err, bool &full, ReadFd read_fd)
    {
        const size_t old = bytes_.size();
        const size_t room = old < kLimit ? kLimit - old : 0;
        full = waiting > room;
        const size_t n = std::min(waiting, room);
        if (n == 0)
            return 0;
        try {
            bytes_.resize(old + n);
        } catch (const std::bad_alloc &) {
            err = ERROR_NOT_ENOUGH_MEMORY;
            return -1;
        }
        const ssize_t r = read_fd(bytes_.data() + old, n, err);
        bytes_.resize(old + size_t(r > 0 ? r : 0));
        return r;
    }

    // Drops the stash, and counts it with `alsoDropped` bytes purged from the queue: purged
    // bytes still count as received.
    void purge(uint64_t alsoDropped)
    {
        purged_ += bytes_.size() + alsoDropped;
        bytes_.clear();
    }

private:
    uint64_t taken_ = 0;
    uint64_t purged_ = 0;
    std::vector<uint8_t> bytes_;
};

} // namespace tty::posix

#endif
