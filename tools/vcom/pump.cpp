// The event loop that moves bytes between descriptors.
#include "pump.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace vcom {

namespace {

// Bytes of one route: read at the back, written from the front.
class Buffer {
public:
    Buffer() : data_(kRouteBuffer) {}
    size_t pending() const { return end_ - begin_; }
    size_t room()
    {
        if (begin_ == end_)
            begin_ = end_ = 0;
        else if (end_ == data_.size() && begin_ > 0) {
            std::memmove(data_.data(), data_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        return data_.size() - end_;
    }
    char *back() { return data_.data() + end_; }
    void grew(size_t n) { end_ += n; }
    const char *front() const { return data_.data() + begin_; }
    void shrank(size_t n) { begin_ += n; }

private:
    std::vector<char> data_;
    size_t begin_ = 0, end_ = 0;
};

// One write per wake-up and at most what a pipe takes whole, so that a blocking standard
// output that poll() called writable does not block us.
constexpr size_t kWriteChunk = 4096;

short &events_for(std::vector<pollfd> &fds, int fd)
{
    for (pollfd &p : fds)
        if (p.fd == fd)
            return p.events;
    fds.push_back({fd, 0, 0});
    return fds.back().events;
}

short revents_of(const std::vector<pollfd> &fds, int fd)
{
    for (const pollfd &p : fds)
        if (p.fd == fd)
            return p.revents;
    return 0;
}

Outcome failure(const std::string &what)
{
    Outcome o;
    o.kind = Outcome::Failure;
    o.message = what;
    return o;
}

} // namespace

Outcome pump(const std::vector<Route> &routes, int signal_fd)
{
    std::vector<Buffer> buffers(routes.size());
    std::vector<bool> ended(routes.size(), false);
    std::vector<pollfd> fds;

    for (;;) {
        fds.clear();
        events_for(fds, signal_fd) |= POLLIN;
        for (size_t i = 0; i < routes.size(); ++i) {
            if (!ended[i] && buffers[i].room() > 0)
                events_for(fds, routes[i].from) |= POLLIN;
            if (buffers[i].pending() > 0)
                events_for(fds, routes[i].to) |= POLLOUT;
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return failure(std::string("poll: ") + std::strerror(errno));
        }
        for (const pollfd &p : fds)
            if (p.revents & POLLNVAL)
                return failure("a descriptor was closed under vcom");

        if (revents_of(fds, signal_fd) & POLLIN) {
            signalfd_siginfo info;
            if (::read(signal_fd, &info, sizeof info) == ssize_t(sizeof info)) {
                Outcome o;
                o.kind = Outcome::Signal;
                o.signal = int(info.ssi_signo);
                return o;
            }
        }

        for (size_t i = 0; i < routes.size(); ++i) {
            const Route &r = routes[i];
            Buffer &b = buffers[i];
            if (!ended[i] && (revents_of(fds, r.from) & (POLLIN | POLLHUP | POLLERR)) && b.room() > 0) {
                ssize_t n = ::read(r.from, b.back(), b.room());
                if (n > 0)
                    b.grew(size_t(n));
                else if (n == 0 && r.from_may_end)
                    ended[i] = true;
                else if (n == 0)
                    return failure("a pseudo-terminal hung up");
                else if (errno != EAGAIN && errno != EINTR)
                    return failure(std::string("read: ") + std::strerror(errno));
            }
            // Write only where poll() said so: POLLOUT was asked for only with bytes pending.
            if (b.pending() > 0 && (revents_of(fds, r.to) & (POLLOUT | POLLERR | POLLHUP))) {
                ssize_t n = ::write(r.to, b.front(), std::min(b.pending(), kWriteChunk));
                if (n > 0)
                    b.shrank(size_t(n));
                else if (n < 0 && errno == EPIPE) {
                    Outcome o;
                    o.kind = Outcome::OutputClosed;
                    return o;
                } else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return failure(std::string("write: ") + std::strerror(errno));
            }
        }
    }
}

} // namespace vcom
