// The layer's handles: the handle table, opening and closing comm devices, events, the
// per-thread last error and wake-up descriptor, and the line settings calls.
#include "comm.h"
#include "clock.h"
#include "devmap.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

namespace tty::posix {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// The thread's wake-up descriptor: -2 until its first wait, -1 when none could be made.
struct Waker {
    int fd = -2;
    ~Waker()
    {
        if (fd >= 0)
            close(fd);
    }
};
thread_local Waker waker;

struct Table {
    Lock mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    // Handle values come from this counter and are never given out twice, so a stale value
    // can never reach a newer object.
    uintptr_t last = 0;
};

Table &table();

// A child made by fork() must not inherit a mutex that another thread of its parent held at
// that moment: every one is taken around the fork. The child also gets a wake-up descriptor
// of its own instead of sharing its parent's.
void before_fork()
{
    Table &t = table();
    t.mutex.lock();
    for (auto &entry : t.objects)
        if (entry.second->kind == Object::Kind::Comm)
            static_cast<Comm &>(*entry.second).mutex.lock();
}

void after_fork()
{
    Table &t = table();
    for (auto &entry : t.objects)
        if (entry.second->kind == Object::Kind::Comm)
            static_cast<Comm &>(*entry.second).mutex.unlock();
    t.mutex.unlock();
}

void after_fork_in_child()
{
    after_fork();
    if (waker.fd >= 0)
        close(waker.fd);
    waker.fd = -2;
}

Table &table()
{
    // Never destroyed: handles may be used until the very end, also by threads still running
    // while the process exits. Built in static storage, as an allocation that failed here
    // would throw out of a call that must not.
    alignas(Table) static unsigned char storage[sizeof(Table)];
    static Table *t = [] {
        Table *made = new (storage) Table;
        pthread_atfork(before_fork, after_fork, after_fork_in_child);
        return made;
    }();
    return *t;
}

// Caller holds the table's mutex. Takes the object only when it succeeds.
HANDLE insert(Table &t, std::shared_ptr<Object> &object)
{
    if (t.last >= UINTPTR_MAX - 1) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    try {
        t.objects.try_emplace(t.last + 1).first->second = std::move(object);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(++t.last);
}

DWORD open_error(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_FILE_NOT_FOUND;
    }
}

// Unix98 pseudo-terminal slaves (majors 136-143) and the old BSD ones (major 3).
bool is_pty(dev_t rdev)
{
    const unsigned m = major(rdev);
    return (m >= 136 && m <= 143) || m == 3;
}

// What every handle's DCB starts from: DTR and RTS on, and Windows' usual flow-control limits.
DCB base_dcb()
{
    DCB base {};
    base.fBinary = 1;
    base.fDtrControl = DTR_CONTROL_ENABLE;
    base.fRtsControl = RTS_CONTROL_ENABLE;
    base.XonLim = 2048;
    base.XoffLim = 512;
    return base;
}

// The DCB a handle starts with, before any SetCommState: the device's settings on the base.
DCB initial_dcb(const LineSettings &s)
{
    return dcb_from_line(s, base_dcb());
}

// Bytes already handed to the device must go out at the settings they were written with,
// not at the ones restored after them. What a stopped line still holds when the wait ends is
// dropped, which also spares close() the kernel's own drain of up to 30 s.
void drain_output(const Comm &c)
{
    int queued = 0;
    if (ioctl(c.fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return; // nothing queued, or the device has gone (pseudo-terminals never queue)
    const int64_t deadline = now_ms() + close_drain_ms(uint32_t(queued), line_speed(c.applied));
    while (ioctl(c.fd, TIOCOUTQ, &queued) == 0 && queued > 0 && now_ms() < deadline)
        usleep(10000);
    if (queued > 0)
        tcflush(c.fd, TCOFLUSH);
}

// Gives the device back as it was found. Called once nothing else may touch the device (the
// object is closed, or was never in the table); the descriptor itself is closed by the last
// user. A process that did not open the device (a child made by fork) leaves it alone: the
// settings, the exclusive mode and the lock belong to the process that opened it, and are
// shared with it.
void release(Comm &c)
{
    if (c.owner != getpid())
        return;
    if (c.remote) {
        // Bytes taken for sending go to the server, which paces them on its line; a server
        // that does not take them is not waited for long.
        c.remote->drain(500);
        return;
    }
    drain_output(c);
    line_set(c.fd, c.saved); // fails harmlessly on a device that has gone
    ioctl(c.fd, TIOCNXCL);
    flock(c.fd, LOCK_UN);
}

// The DCB a remote handle starts with: the server's settings are not known until it answers
// a change, and IOP_Open-style callers set them all at once anyway.
DCB remote_initial_dcb()
{
    DCB d = base_dcb();
    d.BaudRate = CBR_9600;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

// CreateFileA of a map entry that names a serial server. The connection is made before the
// table is locked: it may take seconds, and the server decides who may use its port.
HANDLE open_remote(const RemoteTarget &target, std::shared_ptr<Comm> &c)
{
    DWORD err = ERROR_NOT_ENOUGH_MEMORY;
    try {
        c->remote = Remote::connect(target, now_ms() + kRemoteOpenMs, err);
    } catch (const std::bad_alloc &) {
        c->remote.reset();
    }
    if (!c->remote) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    c->owner = getpid();
    c->asked = remote_initial_dcb();
    Table &t = table();
    std::lock_guard lock(t.mutex);
    std::shared_ptr<Object> object = c;
    return insert(t, object); // on failure `c` still owns the connection and closes it
}

// Keeps the DCB that SetCommState has just applied, for GetCommState to report; the members
// Windows reserves are read back as 0.
void keep_asked(Comm &c, const DCB &dcb)
{
    c.asked = dcb;
    c.asked.fDummy2 = 0;
    c.asked.wReserved = 0;
    c.asked.wReserved1 = 0;
}

// SetCommState on a remote port: the server's answers are the read-back. The wait for them
// is made without the object's mutex, as transfers wait, and is bounded.
BOOL set_remote_state(CommRef &c, const DCB &dcb)
{
    c.unlock();
    const std::lock_guard change(c->remoteChange);
    c.lock();
    if (c->closed)
        return fail(ERROR_INVALID_HANDLE); // CloseHandle came meanwhile
    const rfc2217::Line wanted = rfc2217::line_from_dcb(dcb);
    // The server owns RTS in handshake mode, as a driver does; its queue is never taken as full.
    c->remote->request_line(wanted, modem_drive(c->asked, dcb, false));
    const int64_t deadline = now_ms() + kRemoteAnswerMs;
    rfc2217::Line got;
    for (;;) {
        DWORD err = 0;
        if (!c->remote->service(err, true) && c->remote->closed())
            return fail_gone(*c);
        if (c->remote->line_answered(got))
            break;
        const int64_t left = deadline - now_ms();
        if (left <= 0)
            return fail(kErrorTimeout);
        struct pollfd p {c->remote->fd(), c->remote->poll_events(true), 0};
        c.unlock();
        poll(&p, 1, int(left));
        c.lock();
        if (c->closed)
            return fail(ERROR_INVALID_HANDLE); // CloseHandle came meanwhile
    }
    if (!rfc2217::line_took(wanted, got)) {
        // Put back what the server had before, as a local device keeps its settings when it
        // refuses new ones. Not waited for: the answers only fill the next read-back.
        if (c->remoteAsked.baud != 0)
            c->remote->request_line(c->remoteAsked, modem_drive(dcb, c->asked, false));
        return fail(ERROR_INVALID_PARAMETER);
    }
    keep_asked(*c, dcb);
    c->remoteAsked = wanted;
    c->remoteGot = got;
    return TRUE;
}

} // namespace

Comm::~Comm()
{
    if (fd >= 0)
        close(fd);
}

CommRef use_comm(HANDLE h)
{
    Table &t = table();
    std::unique_lock tableLock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end() || it->second->kind != Object::Kind::Comm) {
        tableLock.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    Comm *c = static_cast<Comm *>(it->second.get());
    std::shared_ptr<Comm> kept;
    std::unique_lock lock(c->mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        tableLock.unlock();
    } else {
        kept = std::static_pointer_cast<Comm>(it->second);
        tableLock.unlock();
        lock.lock();
    }
    if (c->closed) {
        lock.unlock();
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    return CommRef(c, std::move(lock), std::move(kept));
}

int thread_waker()
{
    if (waker.fd < 0)
        waker.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return waker.fd;
}

void wake(Comm &c, uint64_t id)
{
    const uint64_t one = 1;
    for (Waiter *w = c.waiters; w; w = w->next) {
        // A full counter (it cannot be, short of 2^64 wakes) would still wake its thread.
        if ((id == 0 || w->id == id) && w->fd >= 0 && write(w->fd, &one, sizeof one) < 0)
            continue;
    }
}

int64_t now_ms()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

BOOL fail(DWORD err)
{
    SetLastError(err);
    return FALSE;
}

void set_gone(Comm &c)
{
    if (!c.remote || c.remote->in_queue() == 0)
        c.gone = true;
}

BOOL fail_gone(Comm &c)
{
    set_gone(c);
    return fail(ERROR_DEVICE_NOT_CONNECTED);
}

bool remote_service(Comm &c)
{
    DWORD err = 0;
    if (!c.gone && !c.remote->service(err) && c.remote->closed())
        set_gone(c);
    return !c.gone;
}

bool read_counts(int fd, ErrorCounts &out, int &err)
{
    struct serial_icounter_struct ic {};
    if (ioctl(fd, TIOCGICOUNT, &ic) != 0) {
        err = errno;
        return false;
    }
    out.frame = uint32_t(ic.frame);
    out.overrun = uint32_t(ic.overrun);
    out.parity = uint32_t(ic.parity);
    out.brk = uint32_t(ic.brk);
    out.bufOverrun = uint32_t(ic.buf_overrun);
    return true;
}

bool arrived_total(Comm &c, uint64_t &total)
{
    if (c.remote) {
        const bool live = remote_service(c);
        total = c.remote->received(); // purged bytes are among them
        return live;
    }
    int inq = 0;
    if (c.gone || ioctl(c.fd, TIOCINQ, &inq) != 0)
        return false;
    total = c.taken + c.purged + c.stash.size() + uint64_t(inq > 0 ? inq : 0);
    return true;
}

} // namespace tty::posix

using namespace tty::posix;

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD err)
{
    lastError = err;
}

BOOL DisableThreadLibraryCalls(HMODULE)
{
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR name)
{
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED); // no named objects here
        return nullptr;
    }
    std::shared_ptr<Object> event;
    try {
        event = std::make_shared<Event>();
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Table &t = table();
    std::lock_guard lock(t.mutex);
    HANDLE h = insert(t, event);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    uint32_t n = 0;
    if (!parse_com_name(name, n)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string path;
    std::shared_ptr<Comm> c;
    try {
        path = com_device_path(n);
        c = std::make_shared<Comm>();
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    RemoteTarget target;
    MapTarget kind = MapTarget::Device;
    try {
        kind = parse_map_target(read_map_link(path), target);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (kind == MapTarget::Bad) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (kind == MapTarget::Remote)
        return open_remote(target, c);

    // Held throughout, so that two threads cannot both find the device free.
    Table &t = table();
    std::lock_guard lock(t.mutex);

    // Refuse anything but a character device before opening it: opening some devices has
    // effects of its own.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(open_error(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!S_ISCHR(st.st_mode)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive within the process too: this also holds where flock does not work.
    for (const auto &entry : t.objects) {
        if (entry.second->kind != Object::Kind::Comm)
            continue;
        const auto &other = static_cast<const Comm &>(*entry.second);
        if (other.dev == st.st_dev && other.ino == st.st_ino) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }

    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(open_error(errno));
        return INVALID_HANDLE_VALUE;
    }
    c->fd = fd; // closed with the object
    c->owner = getpid();
    auto refuse = [&](DWORD err) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    };
    if (fstat(fd, &st) != 0 || !isatty(fd))
        return refuse(ERROR_FILE_NOT_FOUND);
    c->dev = st.st_dev;
    c->ino = st.st_ino;
    c->pty = is_pty(st.st_rdev);
    if (!c->pty)
        c->clock = device_clock(fd, st.st_rdev);
    // flock holds against root and against other descriptors of this process; TIOCEXCL
    // (below) against processes that do not use flock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(ERROR_ACCESS_DENIED);
    // Root gets past another program's TIOCEXCL: refuse the device ourselves. Not on a
    // pseudo-terminal, which keeps the flag after its holder has gone (the kernel clears it
    // only at the last close, and the master keeps the slave alive).
    int excl = 0;
    if (!c->pty && ioctl(fd, TIOCGEXCL, &excl) == 0 && excl)
        return refuse(ERROR_ACCESS_DENIED);
    if (line_get(fd, c->saved) != 0)
        return refuse(open_error(errno));
    LineSettings raw = c->saved;
    line_make_raw(raw);
    if (line_set(fd, raw) != 0 || line_get(fd, c->applied) != 0) {
        const DWORD err = open_error(errno);
        line_set(fd, c->saved);
        return refuse(err);
    }
    ioctl(fd, TIOCEXCL);
    c->asked = initial_dcb(c->applied);
    int err = 0;
    if (!read_counts(fd, c->counts, err))
        c->noCounters = true;
    std::shared_ptr<Object> object = c;
    HANDLE h = insert(t, object);
    if (h == INVALID_HANDLE_VALUE)
        release(*c);
    return h;
}

BOOL CloseHandle(HANDLE h)
{
    std::shared_ptr<Object> object;
    {
        Table &t = table();
        std::lock_guard lock(t.mutex);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.objects.end())
            return fail(ERROR_INVALID_HANDLE);
        object = std::move(it->second);
        t.objects.erase(it);
    }
    if (object->kind != Object::Kind::Comm)
        return TRUE;
    Comm &c = static_cast<Comm &>(*object);
    {
        std::lock_guard lock(c.mutex);
        c.closed = true;
        // Windows ends a handle's pending operations when it is closed; their threads wake
        // and return at once.
        end_pending(c, kStatusCancelled, [](const Pending &) { return true; });
    }
    // Outside the mutex: the drain may take a while, and the threads just woken need the
    // mutex to see that their operations have ended.
    release(c);
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD, DWORD)
{
    // The kernel owns the queues and their sizes.
    return use_comm(h) ? TRUE : FALSE;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!timeouts)
        return fail(ERROR_INVALID_PARAMETER);
    c->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    // As on Windows, a new mask completes a pending wait with no events.
    for (const Pending &p : c->pending)
        if (p.op == Pending::Op::Wait && p.events)
            *p.events = 0;
    end_pending(*c, kStatusSuccess, [](const Pending &p) { return p.op == Pending::Op::Wait; });
    c->mask = mask;
    uint64_t total = 0;
    if (!arrived_total(*c, total))
        return fail_gone(*c);
    c->arrivedAtLastWait = total;
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_TXABORT)
        end_pending(*c, kStatusCancelled, [](const Pending &p) { return p.op == Pending::Op::Write; });
    if (flags & PURGE_RXABORT)
        end_pending(*c, kStatusCancelled, [](const Pending &p) { return p.op == Pending::Op::Read; });
    if (!(flags & (PURGE_TXCLEAR | PURGE_RXCLEAR)))
        return TRUE;
    if (c->gone)
        return fail_gone(*c);
    if (c->remote) {
        // Purged bytes still count as received (Remote::received) for WaitCommEvent.
        remote_service(*c);
        c->remote->purge(flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR);
        return TRUE;
    }
    if ((flags & PURGE_TXCLEAR) && tcflush(c->fd, TCOFLUSH) != 0)
        return fail_gone(*c);
    if (flags & PURGE_RXCLEAR) {
        // Purged bytes still count as received for WaitCommEvent's history.
        int inq = 0;
        if (ioctl(c->fd, TIOCINQ, &inq) != 0 || tcflush(c->fd, TCIFLUSH) != 0)
            return fail_gone(*c);
        c->purged += uint64_t(inq > 0 ? inq : 0) + c->stash.size();
        c->stash.clear();
    }
    return TRUE;
}

BOOL GetCommState(HANDLE h, LPDCB dcb)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!dcb)
        return fail(ERROR_INVALID_PARAMETER);
    DCB current;
    if (c->remote) {
        if (c->gone)
            return fail_gone(*c);
        current = rfc2217::dcb_from_line(c->remoteGot, c->remoteAsked, c->asked);
    } else {
        LineSettings now;
        if (line_get(c->fd, now) != 0)
            return fail_gone(*c);
        current = dcb_current(now, c->asked, c->applied);
    }
    current.DCBlength = dcb->DCBlength; // echoed as given
    *dcb = current;
    return TRUE;
}

BOOL SetCommState(HANDLE h, LPDCB dcb)
{
    CommRef c = use_comm(h);
    if (!c)
        return FALSE;
    if (!dcb || !dcb_valid(*dcb))
        return fail(ERROR_INVALID_PARAMETER);
    if (c->remote)
        return c->gone ? fail_gone(*c) : set_remote_state(c, *dcb);
    // Many drivers echo a rate they can only approximate, so the read-back below cannot see
    // it; the device's clock can.
    if (!clock_makes(c->clock, dcb->BaudRate))
        return fail(ERROR_INVALID_PARAMETER);
    LineSettings before;
    if (line_get(c->fd, before) != 0)
        return fail_gone(*c);
    const DCB prev = dcb_current(before, c->asked, c->applied);
    const LineSettings wanted = line_from_dcb(before, *dcb);
    LineSettings got;
    if (line_set(c->fd, wanted) != 0) {
        if (errno == EIO)
            return fail_gone(*c);
        line_set(c->fd, before);
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (line_get(c->fd, got) != 0)
        return fail_gone(*c);
    // A pseudo-terminal reports 8 bits without parity whatever it was given: there only the
    // speed tells whether the settings were taken.
    if (!line_took(wanted, got, !c->pty)) {
        line_set(c->fd, before);
        return fail(ERROR_INVALID_PARAMETER);
    }
    int inq = 0;
    const bool inputFull = ioctl(c->fd, TIOCINQ, &inq) == 0 && inq >= kInputFullMark;
    const ModemDrive drive = modem_drive(prev, *dcb, inputFull);
    for (const auto &[bit, how] :
         {std::pair{TIOCM_DTR, drive.dtr}, std::pair{TIOCM_RTS, drive.rts}}) {
        if (how == Drive::Leave)
            continue;
        if (ioctl(c->fd, how == Drive::Raise ? TIOCMBIS : TIOCMBIC, &bit) != 0 && errno == EIO)
            return fail_gone(*c);
        // ENOTTY / EINVAL: a device without modem lines; nothing to drive.
    }
    keep_asked(*c, *dcb);
    c->applied = got;
    return TRUE;
}
