// The eighteen exported functions and the library's fixed storage. Each function checks its
// port, reads the port's state through the Win32-named layer, lets the pure translations of
// words.cpp do the work, and writes the state back.
#include "tty.h"

#include "win32.h"
#include "words.h"

#include <atomic>
#include <cstdio>
#include <cstring>

using namespace tty;

namespace {

constexpr int32_t kPorts = 258;
constexpr uint32_t kFailed = 0xFFFFFFFFu;
constexpr int kReadClear = 256;

// All of the library's state: zero at load, never allocated, never freed. One caller at a
// time; nothing here is locked.
int32_t PORT[kPorts];
HANDLE COMDEV[kPorts];
OVERLAPPED READ_OS;  // IOP_Read, IOP_Getc and IOP_Putc
OVERLAPPED WRITE_OS; // IOP_Write and the event wait of IOP_Status
int32_t t_cflag;     // last word given to IOP_Open or IOP_Ioctrl, for any port
DWORD dwDTR;         // remembered DTR mode, shared by all ports
DWORD dwRTS;         // remembered RTS mode, shared by all ports
// Receive errors that IOP_Getc fetched (fetching them clears the device's record) and that
// IOP_DataStatus has yet to report. Atomic, so that it needs no lock should calls ever come
// from several threads.
std::atomic<DWORD> getc_errors[kPorts];

bool in_range(int32_t port) { return port >= 0 && port < kPorts; }

bool live(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// The port's device handle, or null for a port out of range, never opened or closed. Calls on
// such ports fail here instead of handing the platform a stale or pseudo handle value.
HANDLE device(int32_t port) {
    if (!in_range(port) || !live(COMDEV[port])) return nullptr;
    return COMDEV[port];
}

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

// Steps shared by IOP_Write and IOP_Read once the transfer has been started.
uint32_t finish(HANDLE h, OVERLAPPED &ov, BOOL started, DWORD done) {
    if (started) return done;
    if (GetLastError() != ERROR_IO_PENDING) return kFailed;
    if (GetOverlappedResult(h, &ov, &done, TRUE)) return done;
    return GetLastError() == ERROR_IO_INCOMPLETE ? done : kFailed;
}

HANDLE new_event() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

// The library's events are released when a new open replaces them, so that open/close
// cycles leak nothing. Nothing can be pending on them: every function ends its operations
// before it returns.
void renew_event(OVERLAPPED &ov) {
    const HANDLE old = ov.hEvent;
    ov.Offset = 0;
    ov.OffsetHigh = 0;
    ov.hEvent = new_event();
    if (live(old)) CloseHandle(old);
}

// Common body of IOP_SetDTR and IOP_SetRTS: the mode is a two-bit field of the DCB.
template <typename Get, typename Set>
int32_t set_line(int32_t port, int32_t flag, DWORD &remembered, Get get, Set set) {
    const HANDLE h = device(port);
    DCB dcb;
    if (!read_state(h, dcb)) return -1;
    const DWORD mode = get(dcb);
    if (mode != 0) remembered = mode;
    if (flag == 0) set(dcb, 0);
    if (flag == 1) set(dcb, remembered & 3);
    return SetCommState(h, &dcb) ? 0 : -1;
}

} // namespace

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
#else
// There is no module handle here, and the layer's call does nothing; it is kept so that
// start-up is the same on every platform.
__attribute__((constructor)) static void on_load() { DisableThreadLibraryCalls(nullptr); }
#endif

extern "C" {

TTY_API int32_t TTY_CALL IOP_Open(int32_t port, int32_t cflag) TTY_NOEXCEPT {
    if (!in_range(port) || !cflag_has_entries(cflag)) return -1;
    // An open port keeps its handle: opening the same device again would fail anyway, and
    // another device would orphan it. A handle whose device refused the last word is let go
    // first, so that a retry with a word the device takes can succeed instead of finding the
    // device held by the library itself.
    if (live(COMDEV[port])) {
        if (PORT[port] == 1 || !CloseHandle(COMDEV[port])) return -1;
        COMDEV[port] = INVALID_HANDLE_VALUE;
    }

    char szPort[15];
    std::snprintf(szPort, sizeof szPort, port < 10 ? "COM%d" : "//./COM%d", static_cast<int>(port));
    const HANDLE h = CreateFileA(szPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    COMDEV[port] = h;
    t_cflag = cflag;
    PORT[port] = 1;
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
    SetCommTimeouts(h, &CommTimeOuts);

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
    if (!SetCommState(h, &dcb)) {
        PORT[port] = 0;
        return -1;
    }

    renew_event(WRITE_OS);
    renew_event(READ_OS);
    return 0;
}

TTY_API int32_t TTY_CALL IOP_Close(int32_t port) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    if (h == nullptr) return -1;
    if (t_cflag & bHupcl) PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT);
    if (!CloseHandle(h)) return -1;
    PORT[port] = 0;
    COMDEV[port] = INVALID_HANDLE_VALUE;
    return 0;
}

TTY_API int32_t TTY_CALL IOP_Ioctrl(int32_t port, int32_t cflag) TTY_NOEXCEPT {
    if (!in_range(port) || !cflag_has_entries(cflag)) return -1;
    const HANDLE h = device(port);
    DCB dcb;
    const bool have_state = read_state(h, dcb);
    t_cflag = cflag; // also when the call fails: the next close follows this word
    if (!have_state) return -1;
    apply_cflag(dcb, cflag);
    return SetCommState(h, &dcb) ? 0 : -1;
}

TTY_API int32_t TTY_CALL IOP_Flowctrl(int32_t port, int32_t iflag) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    DCB dcb;
    if (!read_state(h, dcb)) return -1;
    apply_iflag(dcb, iflag);
    return SetCommState(h, &dcb) ? 0 : -1;
}

TTY_API int32_t TTY_CALL IOP_GetIoctrl(int32_t port) TTY_NOEXCEPT {
    DCB dcb;
    if (!read_state(device(port), dcb)) return 0;
    return cflag_from_dcb(dcb, t_cflag);
}

TTY_API int32_t TTY_CALL IOP_GetFlowctrl(int32_t port) TTY_NOEXCEPT {
    DCB dcb;
    if (!read_state(device(port), dcb)) return 0;
    return iflag_from_dcb(dcb);
}

TTY_API int32_t TTY_CALL IOP_SetDTR(int32_t port, int32_t flag) TTY_NOEXCEPT {
    return set_line(
        port, flag, dwDTR, [](const DCB &d) -> DWORD { return d.fDtrControl; },
        [](DCB &d, DWORD mode) { d.fDtrControl = mode; });
}

TTY_API int32_t TTY_CALL IOP_SetRTS(int32_t port, int32_t flag) TTY_NOEXCEPT {
    return set_line(
        port, flag, dwRTS, [](const DCB &d) -> DWORD { return d.fRtsControl; },
        [](DCB &d, DWORD mode) { d.fRtsControl = mode; });
}

// Goes through READ_OS, not WRITE_OS, as it always has; the two one-byte calls therefore
// share a record, which is safe because each ends its operation before returning.
TTY_API int32_t TTY_CALL IOP_Putc(int32_t port, const char *c) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    if (h == nullptr || c == nullptr) return -1;
    DWORD done = 0;
    if (WriteFile(h, c, 1, &done, &READ_OS)) return 0;
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    // A byte that did go out before the cancellation is reported as sent, so that the caller
    // does not send it twice.
    return cancel(h, READ_OS, done) && done == 1 ? 0 : -1;
}

TTY_API int32_t TTY_CALL IOP_Getc(int32_t port, char *c) TTY_NOEXCEPT {
    if (c == nullptr) return -1;
    *c = 0;
    const HANDLE h = device(port);
    if (h == nullptr) return -1;
    DWORD done = 0;
    if (ReadFile(h, c, 1, &done, &READ_OS)) return 0;
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    // Some platforms (Wine) report even a read that a waiting byte satisfies as pending, and
    // cancelling it would race it for that byte. With a byte waiting the read ends at once (at
    // worst within the read time-out), so it is let finish.
    if (byte_waiting(port, h))
        return GetOverlappedResult(h, &READ_OS, &done, TRUE) && done == 1 ? 0 : -1;
    // A byte that the read took before the cancellation reached it is at *c: report it rather
    // than lose it.
    return cancel(h, READ_OS, done) && done == 1 ? 0 : -1;
}

TTY_API uint32_t TTY_CALL IOP_Write(int32_t port, const char *buffer, int32_t count) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    if (h == nullptr || buffer == nullptr || count < 0) return kFailed;
    DWORD done = 0;
    const BOOL started = WriteFile(h, buffer, static_cast<DWORD>(count), &done, &WRITE_OS);
    return finish(h, WRITE_OS, started, done);
}

TTY_API uint32_t TTY_CALL IOP_Read(int32_t port, char *buffer, int32_t count) TTY_NOEXCEPT {
    if (buffer == nullptr || count < 0) return kFailed;
    // Callers treat the buffer as text: whatever the read leaves unfilled ends it.
    std::memset(buffer, 0, kReadClear);
    const HANDLE h = device(port);
    if (h == nullptr) return kFailed;
    DWORD done = 0;
    const BOOL started = ReadFile(h, buffer, static_cast<DWORD>(count), &done, &READ_OS);
    return finish(h, READ_OS, started, done);
}

TTY_API uint32_t TTY_CALL IOP_DOQ_Count(int32_t port) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    DWORD errors = 0;
    COMSTAT comstat{};
    if (h == nullptr || !ClearCommError(h, &errors, &comstat)) return kFailed;
    getc_errors[port] = 0;
    return comstat.cbOutQue;
}

TTY_API uint32_t TTY_CALL IOP_DIQ_Count(int32_t port) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    DWORD errors = 0;
    COMSTAT comstat{};
    if (h == nullptr || !ClearCommError(h, &errors, &comstat)) return kFailed;
    getc_errors[port] = 0;
    return comstat.cbInQue;
}

TTY_API int32_t TTY_CALL IOP_ResetDOQ(int32_t port) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    return h != nullptr && PurgeComm(h, PURGE_TXCLEAR) ? 0 : -1;
}

TTY_API int32_t TTY_CALL IOP_ResetDIQ(int32_t port) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    return h != nullptr && PurgeComm(h, PURGE_RXCLEAR) ? 1 : -1;
}

TTY_API int32_t TTY_CALL IOP_Status(int32_t port) TTY_NOEXCEPT {
    if (!in_range(port)) return bTX;
    const HANDLE h = device(port);
    DWORD dwStatus = 0;
    DWORD dwEvent = 0;
    DCB dcb;
    read_state(h, dcb); // left zeroed when unreadable: no baud code, no modem bit
    if (h != nullptr) {
        if (!WaitCommEvent(h, &dwEvent, &WRITE_OS)) {
            DWORD done = 0;
            if (GetLastError() != ERROR_IO_PENDING || !cancel(h, WRITE_OS, done)) dwEvent = 0;
        }
        if (!GetCommModemStatus(h, &dwStatus)) dwStatus = 0;
    }
    return sflag_from(dcb, PORT[port], dwStatus, dwEvent);
}

TTY_API int32_t TTY_CALL IOP_DataStatus(int32_t port) TTY_NOEXCEPT {
    const HANDLE h = device(port);
    DWORD dwError = 0;
    COMSTAT comstat{};
    if (h == nullptr || !ClearCommError(h, &dwError, &comstat)) return 0;
    dwError |= getc_errors[port].exchange(0);
    return eflag_from(dwError);
}

} // extern "C"
