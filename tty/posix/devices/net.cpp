// Name look-up and TCP connection with a deadline (see net.h).
#include "net.h"

#include "posix/last_error.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace tty::posix::devices {
namespace {

// glibc's resolver waits _res.retrans seconds for each name server, _res.retry times over,
// for each name it tries (the name itself and the search domains), and these fields belong
// to the calling thread. They are narrowed for one look-up so that it fits the time left,
// without a thread of its own that could outlive the call (or the library).
class ResolverBudget {
public:
    explicit ResolverBudget(int64_t deadline)
    {
        if (!(_res.options & RES_INIT) && res_init() != 0)
            return;
        set_ = true;
        retrans_ = _res.retrans;
        retry_ = _res.retry;
        int names = 1;
        while (names < MAXDNSRCH + 1 && _res.dnsrch[names - 1])
            ++names;
        const int queries = std::max(1, _res.nscount) * names;
        _res.retrans = std::max(1, ms_left(deadline) / 1000 / queries);
        _res.retry = 1;
    }
    ~ResolverBudget()
    {
        if (set_) {
            _res.retrans = retrans_;
            _res.retry = retry_;
        }
    }
    ResolverBudget(const ResolverBudget &) = delete;
    ResolverBudget &operator=(const ResolverBudget &) = delete;

private:
    bool set_ = false;
    int retrans_ = 0;
    int retry_ = 0;
};

struct addrinfo *resolve(const std::string &host, uint16_t port, int64_t deadline, DWORD &err)
{
    const std::string service = std::to_string(port);
    struct addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &res) == 0)
        return res;
    hints.ai_flags = AI_NUMERICSERV;
    int rc;
    {
        const ResolverBudget budget(deadline);
        rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    }
    if (rc == 0)
        return res;
    err = rc == EAI_AGAIN && now_ms() >= deadline ? kErrorTimeout : WSAHOST_NOT_FOUND;
    return nullptr;
}

void set_options(int fd)
{
    // One-byte writes of a terminal must not wait for more to fill a segment.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that vanishes without closing (power, cable) is a hang-up within about half a
    // minute of silence, not after the system's two hours.
    const int idle = 15, interval = 5, probes = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

// A connected socket to one of `list`'s addresses, or -1.
int connect_any(const struct addrinfo *list, int64_t deadline, DWORD &err)
{
    err = ERROR_HOST_UNREACHABLE;
    for (const struct addrinfo *a = list; a; a = a->ai_next) {
        const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            err = last_error_from_socket_errno(errno);
            continue;
        }
        // Set before the handshake, so that the first segments already go out at once.
        set_options(fd);
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno != EINPROGRESS)
            err = last_error_from_socket_errno(errno); // the last address's reason is the call's
        if (r != 0 && errno == EINPROGRESS) {
            struct pollfd p {fd, POLLOUT, 0};
            while ((r = poll(&p, 1, ms_left(deadline))) < 0 && errno == EINTR) {
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            if (r == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0) {
                r = 0;
            } else {
                err = r == 0 ? kErrorTimeout : last_error_from_socket_errno(soError != 0 ? soError : errno);
                r = -1;
            }
        }
        if (r == 0)
            return fd;
        close(fd);
        if (now_ms() >= deadline)
            break;
    }
    return -1;
}

} // namespace

int tcp_connect(const std::string &host, uint16_t port, int64_t deadline, DWORD &err)
{
    err = WSAHOST_NOT_FOUND;
    struct addrinfo *list = resolve(host, port, deadline, err);
    if (!list)
        return -1;
    const int fd = connect_any(list, deadline, err);
    freeaddrinfo(list);
    return fd;
}

} // namespace tty::posix::devices
