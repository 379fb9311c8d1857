// The eighteen exported functions and the library's fixed storage. Each function checks its
// port, reads the port's state through the Win32-named layer, lets the pure translations of
// words.cpp do the work, and writes the state back.
#include "tty.h"

#include "win32.h"
#include "words.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif

using namespace tty;

namespace calls {
int32_t IOP_Close(int32_t port) noexcept;
}

namespace {

constexpr int32_t kPorts = 258;
constexpr uint32_t kFailed = 0xFFFFFFFFu;
constexpr int kReadClear = 256;

// All of the library's state: zero at load, never allocated, never freed. Every entry is an
// atomic, so that calls from several threads never race on it; what is shared by all ports
// stays shared (the last word and the remembered DTR and RTS modes).
// A port's slot is changed only by compare-and-exchange: IOP_Close takes the handle out
// before it closes it, and IOP_Open stores a new handle only into a free slot, so that an
// open and a close of one number, in whatever order, leave the slot and the device agreeing.
// PORT holds the handle the port's last successful IOP_Open configured: the port counts as
// open while that is still the handle in its slot (handle values are never reused).
std::atomic<HANDLE> PORT[kPorts];
std::atomic<HANDLE> COMDEV[kPorts];
std::atomic<int32_t> t_cflag; // last word given to IOP_Open or IOP_Ioctrl, for any port
std::atomic<DWORD> dwDTR;     // remembered DTR mode, shared by all ports
std::atomic<DWORD> dwRTS;     // remembered RTS mode, shared by all ports

// Each call keeps its overlapped record on its own stack, so that calls in different threads
// (on one port or on several) never share one, and ends its operation before it returns.
// Each port has an event per kind of transfer for those records, made anew by every
// successful IOP_Open of the port: the platform signals it when the operation ends, and two
// kinds of transfer in flight on one port at once must not share one.
struct PortEvents {
    std::atomic<HANDLE> read;  // IOP_Read, IOP_Getc
    std::atomic<HANDLE> write; // IOP_Write, IOP_Putc
    std::atomic<HANDLE> wait;  // the event wait of IOP_Status
};
PortEvents EVENTS[kPorts];
// The handle whose time-outs IOP_Open has set: transfers start only on that one. A new handle
// has no time-outs at all, and a read that another thread started on it while IOP_Open was
// still setting it up would wait for its whole count, for ever if it never comes.
std::atomic<HANDLE> TIMED[kPorts];
// Receive errors that IOP_Getc fetched (fetching them clears the device's record) and that
// IOP_DataStatus has yet to report.
std::atomic<DWORD> getc_errors[kPorts];

bool in_range(int32_t port) { return port >= 0 && port < kPorts; }

// Why a call fails is the platform's last error (on Linux also errno, which the layer derives
// from it): the library's own checks set it here, and nothing that runs after a failing
// platform call may overwrite its value.
template <typename T> T fail(DWORD reason, T result) {
    SetLastError(reason);
    return result;
}
// The reason the failing platform call left, once more: on Linux, errno may have been used
// by whatever ran after it.
template <typename T> T failed(T result) {
#ifndef _WIN32
    SetLastError(GetLastError());
#endif
    return result;
}
// Another handle of this program has the device. Windows itself says "access denied" of a
// port another program holds; the Linux layer tells the two apart (EBUSY, not EACCES).
#ifdef _WIN32
constexpr DWORD kHeld = ERROR_ACCESS_DENIED;
#else
constexpr DWORD kHeld = ERROR_SHARING_VIOLATION;
#endif
// IOP_Putc and IOP_Getc: the device could not take or give a byte at once.
constexpr DWORD kNotAtOnce = WSAEWOULDBLOCK;

bool live(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// Whether the port is open and configured (1) or not (0).
int32_t port_entry(int32_t port) {
    const HANDLE h = COMDEV[port].load();
    return live(h) && PORT[port].load() == h ? 1 : 0;
}

#ifndef _WIN32
// Calls inside the library now, so that an unload waits for them to leave.
std::atomic<int> inCalls;

// Held for the length of every exported call: the call is not a cancellation point (the
// platform's waits are, and unwinding through the library would end the process), and it is
// counted in inCalls. The count is let go last, after the last of the library's work.
class Call {
public:
    Call() {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_);
        inCalls.fetch_add(1, std::memory_order_relaxed);
    }
    ~Call() {
        pthread_setcancelstate(old_, nullptr);
        inCalls.fetch_sub(1, std::memory_order_release);
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};
#else
struct Call {
    Call() {} // user-provided: a guard that is never named again is not an unused variable
};
#endif

// The port's device handle, or null for a port out of range, never opened or closed. Calls on
// such ports fail here instead of handing the platform a stale or pseudo handle value; the
// reason is set for them (ERROR_INVALID_PARAMETER, ERROR_INVALID_HANDLE).
HANDLE device(int32_t port) {
    if (!in_range(port)) return fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    const HANDLE h = COMDEV[port].load();
    return live(h) ? h : fail(ERROR_INVALID_HANDLE, HANDLE(nullptr));
}

// The port's device handle for a transfer: null also while IOP_Open has yet to give it its
// time-outs.
HANDLE timed_device(int32_t port) {
    const HANDLE h = device(port);
    if (h == nullptr || TIMED[port].load() == h) return h;
    return fail(ERROR_INVALID_HANDLE, HANDLE(nullptr));
}

// A fresh overlapped record for one call, with the port's event for its kind of transfer.
OVERLAPPED record(const std::atomic<HANDLE> &event) {
    OVERLAPPED ov{};
    ov.hEvent = event.load(std::memory_order_relaxed);
    return ov;
}

// A null h (a port device() refused) fails with the reason device() set.
bool read_state(HANDLE h, DCB &dcb) {
    std::memset(&dcb, 0, sizeof dcb);
    return h != nullptr && GetCommState(h, &dcb);
}

// Ends an operation that did not complete at once, so that it writes nothing after the
// caller has returned and its record is free for the next transfer. Returns whether the
// operation had in fact completed successfully before the cancellation reached it, with
// its count in done. The caller's last-error value is kept.
bool cancel(HANDLE h, OVERLAPPED &ov, DWORD &done) {
    const DWORD err = GetLastError();
    CancelIoEx(h, &ov);
    done = 0;
    const bool completed = GetOverlappedResult(h, &ov, &done, TRUE);
    SetLastError(err);
    return completed;
}

// Whether received bytes wait in the port's input queue. Asking clears the device's record of
// receive errors, so they are kept for IOP_DataStatus.
bool byte_waiting(int32_t port, HANDLE h) {
    DWORD errors = 0;
    COMSTAT comstat{};
    if (!ClearCommError(h, &errors, &comstat)) return false;
    getc_errors[port].fetch_or(errors);
    return comstat.cbInQue > 0;
}

// The port's queue counts for IOP_DIQ_Count and IOP_DOQ_Count. Asking clears the device's
// record of receive errors, and with it those that IOP_Getc kept.
bool queue_counts(int32_t port, COMSTAT &comstat) {
    const HANDLE h = device(port);
    DWORD errors = 0;
    if (h == nullptr || !ClearCommError(h, &errors, &comstat)) return failed(false);
    getc_errors[port] = 0;
    return true;
}

// Steps shared by IOP_Write and IOP_Read once the transfer has been started.
uint32_t finish(HANDLE h, OVERLAPPED &ov, BOOL started, DWORD done) {
    if (started) return done;
    if (GetLastError() != ERROR_IO_PENDING) return failed(kFailed);
    if (GetOverlappedResult(h, &ov, &done, TRUE)) return done;
    return GetLastError() == ERROR_IO_INCOMPLETE ? done : failed(kFailed);
}

HANDLE new_event() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

// A port's events are released when a new open of the port replaces them, so that open/close
// cycles leak nothing. Nothing can be pending on them: every function ends its operations
// before it returns.
void renew_event(std::atomic<HANDLE> &event) {
    const HANDLE old = event.exchange(new_event());
    if (live(old)) CloseHandle(old);
}

// Common body of IOP_SetDTR and IOP_SetRTS: the mode is a two-bit field of the DCB.
template <typename Get, typename Set>
int32_t set_line(int32_t port, int32_t flag, std::atomic<DWORD> &remembered, Get get, Set set) {
    const HANDLE h = device(port);
    DCB dcb;
    if (!read_state(h, dcb)) return failed(-1);
    DWORD mode = get(dcb);
    if (mode != 0)
        remembered.store(mode);
    else
        mode = remembered.load();
    if (flag == 0) set(dcb, 0);
    if (flag == 1) set(dcb, mode & 3);
    return SetCommState(h, &dcb) ? 0 : failed(-1);
}

void close_all_ports() {
    for (int32_t port = 0; port < kPorts; ++port)
        if (device(port) != nullptr) calls::IOP_Close(port);
}

// Runs one exported call. A thread whose cancellation is enabled and pending ends here, before
// the call takes a lock, a byte or a count: a reader looping on IOP_Read would otherwise never
// reach a cancellation point. The calls themselves are noexcept; only this frame and the
// exported one, which callers see without noexcept on Linux, are unwound.
template <typename Body, typename... Args>
auto enter(Body body, Args... args) {
#ifndef _WIN32
    pthread_testcancel();
#endif
    return body(args...);
}

} // namespace

// A port left open when the library goes (the process ends normally, or the library is
// unloaded) is closed as IOP_Close would close it, so that the device gets its settings back
// and is free for the next program. Windows itself frees the ports of a process that ends.
#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) close_all_ports();
    return TRUE;
}
#else
// How long an unload waits for calls still inside the library: the longest a call goes on
// once its port is closed (an IOP_Open still connecting to a serial server, an IOP_Close
// draining output on a slow line), with room to spare.
constexpr int kUnloadWaitMs = 10000;

// There is no module handle here, and the layer's call does nothing; it is kept so that
// start-up is the same on every platform. A child made by fork() has only the thread that
// forked, which was in no call.
__attribute__((constructor)) static void on_load() {
    DisableThreadLibraryCalls(nullptr);
    pthread_atfork(nullptr, nullptr, [] { inCalls.store(0); });
}
// Runs after the program's own exit handlers and static destructors, which may still close
// their ports themselves, and at dlclose. Closing the ports ends the calls other threads are
// making on them (they fail); the library's code must stay until every call has left it.
__attribute__((destructor)) static void on_unload() {
    close_all_ports();
    for (int waited = 0; inCalls.load(std::memory_order_acquire) > 0 && waited < kUnloadWaitMs; ++waited)
        usleep(1000);
    close_all_ports(); // opened by a call that was still under way
    for (PortEvents &events : EVENTS)
        for (std::atomic<HANDLE> *event : {&events.read, &events.write, &events.wait})
            if (const HANDLE h = event->exchange(nullptr); live(h)) CloseHandle(h);
}
#endif

namespace calls {

int32_t IOP_Open(int32_t port, int32_t cflag) noexcept {
    const Call call;
    if (!in_range(port) || !cflag_has_entries(cflag)) return fail(ERROR_INVALID_PARAMETER, -1);
    // An open port keeps its handle: opening the same device again would fail anyway, and
    // another device would orphan it. A handle whose device refused the last word is let go
    // first (taken out of the slot, unless another call got to it first), so that a retry
    // with a word the device takes can succeed instead of finding the device held by the
    // library itself.
    HANDLE free = COMDEV[port].load();
    if (live(free)) {
        if (PORT[port].load() == free) return fail(kHeld, -1);
        const HANDLE held = free;
        if (!COMDEV[port].compare_exchange_strong(free, INVALID_HANDLE_VALUE)) return fail(kHeld, -1);
        CloseHandle(held);
        free = INVALID_HANDLE_VALUE;
    }

    char szPort[15];
    std::snprintf(szPort, sizeof szPort, port < 10 ? "COM%d" : "//./COM%d", static_cast<int>(port));
    const HANDLE h = CreateFileA(szPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failed(-1);
    // Another open of the number may have filled the slot meanwhile: that one keeps it.
    if (!COMDEV[port].compare_exchange_strong(free, h)) {
        CloseHandle(h);
        return fail(kHeld, -1);
    }
    t_cflag = cflag;
    getc_errors[port] = 0;

    SetCommMask(h, EV_RXCHAR);
    SetupComm(h, 1024, 1024);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS CommTimeOuts{};
    CommTimeOuts.ReadIntervalTimeout = MAXDWORD;
    CommTimeOuts.ReadTotalTimeoutMultiplier = 0;
    CommTimeOuts.ReadTotalTimeoutConstant = 1000;
    CommTimeOuts.WriteTotalTimeoutMultiplier = 2;
    CommTimeOuts.WriteTotalTimeoutConstant = 0;
    if (SetCommTimeouts(h, &CommTimeOuts)) TIMED[port] = h;

    DCB dcb;
    read_state(h, dcb);
    dcb.DCBlength = sizeof(DCB);
    GetCommState(h, &dcb);
    apply_cflag(dcb, cflag);
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    if (!SetCommState(h, &dcb)) return failed(-1);
    PORT[port] = h;

    renew_event(EVENTS[port].write);
    renew_event(EVENTS[port].read);
    renew_event(EVENTS[port].wait);
    return 0;
}

int32_t IOP_Close(int32_t port) noexcept {
    const Call call;
    if (!in_range(port)) return fail(ERROR_INVALID_PARAMETER, -1);
    // Out of the slot first, so that an IOP_Open of the number meanwhile finds it free only
    // once this handle is no longer there to be cleared over its own.
    HANDLE h = COMDEV[port].load();
    if (!live(h) || !COMDEV[port].compare_exchange_strong(h, INVALID_HANDLE_VALUE))
        return fail(ERROR_INVALID_HANDLE, -1);
    if (t_cflag.load() & bHupcl) PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT);
    return CloseHandle(h) ? 0 : failed(-1);
}

int32_t IOP_Ioctrl(int32_t port, int32_t cflag) noexcept {
    const Call call;
    if (!in_range(port) || !cflag_has_entries(cflag)) return fail(ERROR_INVALID_PARAMETER, -1);
    const HANDLE h = device(port);
    DCB dcb;
    const bool have_state = read_state(h, dcb);
    t_cflag = cflag; // also when the call fails: the next close follows this word
    if (!have_state) return failed(-1);
    apply_cflag(dcb, cflag);
    return SetCommState(h, &dcb) ? 0 : failed(-1);
}

int32_t IOP_Flowctrl(int32_t port, int32_t iflag) noexcept {
    const Call call;
    const HANDLE h = device(port);
    DCB dcb;
    if (!read_state(h, dcb)) return failed(-1);
    apply_iflag(dcb, iflag);
    return SetCommState(h, &dcb) ? 0 : failed(-1);
}

int32_t IOP_GetIoctrl(int32_t port) noexcept {
    const Call call;
    DCB dcb;
    if (!read_state(device(port), dcb)) return failed(0);
    return cflag_from_dcb(dcb, t_cflag.load());
}

int32_t IOP_GetFlowctrl(int32_t port) noexcept {
    const Call call;
    DCB dcb;
    if (!read_state(device(port), dcb)) return failed(0);
    return iflag_from_dcb(dcb);
}

int32_t IOP_SetDTR(int32_t port, int32_t flag) noexcept {
    const Call call;
    return set_line(
        port, flag, dwDTR, [](const DCB &d) -> DWORD { return d.fDtrControl; },
        [](DCB &d, DWORD mode) { d.fDtrControl = mode; });
}

int32_t IOP_SetRTS(int32_t port, int32_t flag) noexcept {
    const Call call;
    return set_line(
        port, flag, dwRTS, [](const DCB &d) -> DWORD { return d.fRtsControl; },
        [](DCB &d, DWORD mode) { d.fRtsControl = mode; });
}

// IOP_Putc writes on a record with the write event (the platform it comes from used the read
// record), so that one thread can send single bytes while another waits in IOP_Read.
int32_t IOP_Putc(int32_t port, const char *c) noexcept {
    const Call call;
    const HANDLE h = timed_device(port);
    if (h == nullptr) return failed(-1);
    if (c == nullptr) return fail(ERROR_INVALID_PARAMETER, -1);
    OVERLAPPED ov = record(EVENTS[port].write);
    DWORD done = 0;
    if (WriteFile(h, c, 1, &done, &ov)) return 0;
    if (GetLastError() != ERROR_IO_PENDING) return failed(-1);
    // A byte that did go out before the cancellation is reported as sent, so that the caller
    // does not send it twice.
    return cancel(h, ov, done) && done == 1 ? 0 : fail(kNotAtOnce, -1);
}

int32_t IOP_Getc(int32_t port, char *c) noexcept {
    const Call call;
    if (c == nullptr) return fail(ERROR_INVALID_PARAMETER, -1);
    *c = 0;
    const HANDLE h = timed_device(port);
    if (h == nullptr) return failed(-1);
    OVERLAPPED ov = record(EVENTS[port].read);
    DWORD done = 0;
    if (ReadFile(h, c, 1, &done, &ov)) return 0;
    if (GetLastError() != ERROR_IO_PENDING) return failed(-1);
    // Some platforms (Wine) report even a read that a waiting byte satisfies as pending, and
    // cancelling it would race it for that byte. With a byte waiting the read ends at once (at
    // worst within the read time-out), so it is let finish.
    if (byte_waiting(port, h)) {
        if (!GetOverlappedResult(h, &ov, &done, TRUE)) return failed(-1);
        return done == 1 ? 0 : fail(kNotAtOnce, -1);
    }
    // A byte that the read took before the cancellation reached it is at *c: report it rather
    // than lose it.
    return cancel(h, ov, done) && done == 1 ? 0 : fail(kNotAtOnce, -1);
}

uint32_t IOP_Write(int32_t port, const char *buffer, int32_t count) noexcept {
    const Call call;
    const HANDLE h = timed_device(port);
    if (h == nullptr) return failed(kFailed);
    if (buffer == nullptr || count < 0) return fail(ERROR_INVALID_PARAMETER, kFailed);
    OVERLAPPED ov = record(EVENTS[port].write);
    DWORD done = 0;
    const BOOL started = WriteFile(h, buffer, static_cast<DWORD>(count), &done, &ov);
    return finish(h, ov, started, done);
}

uint32_t IOP_Read(int32_t port, char *buffer, int32_t count) noexcept {
    const Call call;
    if (buffer == nullptr || count < 0) return fail(ERROR_INVALID_PARAMETER, kFailed);
    // Callers treat the buffer as text: whatever the read leaves unfilled ends it.
    std::memset(buffer, 0, kReadClear);
    const HANDLE h = timed_device(port);
    if (h == nullptr) return failed(kFailed);
    OVERLAPPED ov = record(EVENTS[port].read);
    DWORD done = 0;
    const BOOL started = ReadFile(h, buffer, static_cast<DWORD>(count), &done, &ov);
    return finish(h, ov, started, done);
}

uint32_t IOP_DOQ_Count(int32_t port) noexcept {
    const Call call;
    COMSTAT comstat{};
    return queue_counts(port, comstat) ? comstat.cbOutQue : kFailed;
}

uint32_t IOP_DIQ_Count(int32_t port) noexcept {
    const Call call;
    COMSTAT comstat{};
    return queue_counts(port, comstat) ? comstat.cbInQue : kFailed;
}

int32_t IOP_ResetDOQ(int32_t port) noexcept {
    const Call call;
    const HANDLE h = device(port);
    return h != nullptr && PurgeComm(h, PURGE_TXCLEAR) ? 0 : failed(-1);
}

int32_t IOP_ResetDIQ(int32_t port) noexcept {
    const Call call;
    const HANDLE h = device(port);
    return h != nullptr && PurgeComm(h, PURGE_RXCLEAR) ? 1 : failed(-1);
}

int32_t IOP_Status(int32_t port) noexcept {
    const Call call;
    if (!in_range(port)) return bTX;
    const HANDLE h = device(port);
    DWORD dwStatus = 0;
    DWORD dwEvent = 0;
    DCB dcb;
    read_state(h, dcb); // left zeroed when unreadable: no baud code, no modem bit
    if (h != nullptr) {
        OVERLAPPED ov = record(EVENTS[port].wait);
        if (!WaitCommEvent(h, &dwEvent, &ov)) {
            DWORD done = 0;
            if (GetLastError() != ERROR_IO_PENDING || !cancel(h, ov, done)) dwEvent = 0;
        }
        if (!GetCommModemStatus(h, &dwStatus)) dwStatus = 0;
    }
    return sflag_from(dcb, port_entry(port), dwStatus, dwEvent);
}

int32_t IOP_DataStatus(int32_t port) noexcept {
    const Call call;
    const HANDLE h = device(port);
    DWORD dwError = 0;
    COMSTAT comstat{};
    if (h == nullptr || !ClearCommError(h, &dwError, &comstat)) return failed(0);
    dwError |= getc_errors[port].exchange(0);
    return eflag_from(dwError);
}

} // namespace calls

// The exported functions. On Linux each acts upon a cancellation that is pending when the
// thread enters it, before the call takes anything, and then runs the call, which is no
// cancellation point.
extern "C" {

TTY_API int32_t TTY_CALL IOP_Open(int32_t port, int32_t cflag) TTY_NOEXCEPT {
    return enter(calls::IOP_Open, port, cflag);
}

TTY_API int32_t TTY_CALL IOP_Close(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_Close, port);
}

TTY_API int32_t TTY_CALL IOP_Ioctrl(int32_t port, int32_t cflag) TTY_NOEXCEPT {
    return enter(calls::IOP_Ioctrl, port, cflag);
}

TTY_API int32_t TTY_CALL IOP_Flowctrl(int32_t port, int32_t iflag) TTY_NOEXCEPT {
    return enter(calls::IOP_Flowctrl, port, iflag);
}

TTY_API int32_t TTY_CALL IOP_GetIoctrl(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_GetIoctrl, port);
}

TTY_API int32_t TTY_CALL IOP_GetFlowctrl(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_GetFlowctrl, port);
}

TTY_API int32_t TTY_CALL IOP_SetDTR(int32_t port, int32_t flag) TTY_NOEXCEPT {
    return enter(calls::IOP_SetDTR, port, flag);
}

TTY_API int32_t TTY_CALL IOP_SetRTS(int32_t port, int32_t flag) TTY_NOEXCEPT {
    return enter(calls::IOP_SetRTS, port, flag);
}

TTY_API int32_t TTY_CALL IOP_Putc(int32_t port, const char *c) TTY_NOEXCEPT {
    return enter(calls::IOP_Putc, port, c);
}

TTY_API int32_t TTY_CALL IOP_Getc(int32_t port, char *c) TTY_NOEXCEPT {
    return enter(calls::IOP_Getc, port, c);
}

TTY_API uint32_t TTY_CALL IOP_Write(int32_t port, const char *buffer, int32_t count) TTY_NOEXCEPT {
    return enter(calls::IOP_Write, port, buffer, count);
}

TTY_API uint32_t TTY_CALL IOP_Read(int32_t port, char *buffer, int32_t count) TTY_NOEXCEPT {
    return enter(calls::IOP_Read, port, buffer, count);
}

TTY_API uint32_t TTY_CALL IOP_DOQ_Count(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_DOQ_Count, port);
}

TTY_API uint32_t TTY_CALL IOP_DIQ_Count(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_DIQ_Count, port);
}

TTY_API int32_t TTY_CALL IOP_ResetDOQ(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_ResetDOQ, port);
}

TTY_API int32_t TTY_CALL IOP_ResetDIQ(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_ResetDIQ, port);
}

TTY_API int32_t TTY_CALL IOP_Status(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_Status, port);
}

TTY_API int32_t TTY_CALL IOP_DataStatus(int32_t port) TTY_NOEXCEPT {
    return enter(calls::IOP_DataStatus, port);
}

} // extern "C"
