/* tty: a flat C interface to the machine's serial ports, keyed by port number.
 *
 * This header is the library's manual.
 *
 * PORTS
 *   A port number n in 0..257 names the serial device COMn (ports below 10 are opened as
 *   "COMn", ports from 10 on as "//./COMn"). On Linux, COMn is the file $TTY_COM_DIR/COMn when
 *   the environment variable TTY_COM_DIR is set. Otherwise it is the entry COMn of vcom's
 *   folder when there is one ($XDG_RUNTIME_DIR/tty-com, or /tmp/tty-com-UID when
 *   XDG_RUNTIME_DIR is not set; counted only while it is a folder of this user that nobody
 *   else may write), else /dev/COMn when it exists, else COM1-COM32 are /dev/ttyS0-31,
 *   COM33-COM48 /dev/ttyUSB0-15 and COM49-COM64 /dev/ttyACM0-15. An entry that is there but
 *   leads to no device makes IOP_Open fail: no other device is tried in its place.
 *   Every function given a port number outside 0..257 fails at once with its failure result
 *   (below) and changes none of the library's state. Opening is exclusive: a device open here
 *   cannot be opened again, by this process under another number or by another process.
 *
 * REMOTE PORTS (Linux)
 *   COMn may be a port on a serial server (ser2net, a terminal server) reached over TCP with
 *   Telnet and RFC 2217: $TTY_COM_DIR/COMn is then a symbolic link whose text is
 *   "rfc2217://HOST:PORT" (HOST a name, an IPv4 address or [an IPv6 address]; PORT 1-65535),
 *   as `vcom remote COMn rfc2217://HOST:PORT` makes it. Every function behaves as for a local
 *   port, with these differences:
 *   - IOP_Open connects, negotiates and applies the word within about 4 s in all (3 s to
 *     look the name up, connect and negotiate, 1 s for the server's answers). A name is looked
 *     up in the calling thread by the system's resolver, made to wait no longer than the time
 *     left (but at least 1 s per name server and search domain): nothing of a failed open
 *     goes on after it returns. Another scheme, a missing or bad port number, a name that
 *     does not resolve, a refused or silent server: -1, nothing left open. A server that
 *     negotiates but does not answer the settings, or answers with other ones (another speed,
 *     say): -1, as for a device that refuses the word. A server that answers them and closes
 *     at once: 0, and the next transfer reports the hang-up.
 *   - The settings read back (IOP_GetIoctrl, IOP_Status) are what the server answered. Each
 *     change is judged by the answers to its own request: answers to an earlier one, however
 *     late, never count for it. DTR and RTS are sent without waiting for an answer (ser2net
 *     gives none on some devices).
 *   - Queue counts are the data bytes this side holds (0xFF counts once): received and not
 *     yet read, taken and not yet on the network. IOP_ResetDIQ / IOP_ResetDOQ empty them and
 *     ask the server to empty its own buffers. Modem lines are those the server last reported.
 *   - Whatever the server sends, every call keeps its bound: a call takes at most 64 KiB from
 *     the connection, Telnet commands included. A port holds at most 150 KiB: 64 KiB of
 *     received data (beyond it TCP holds the server back), 4 KiB of data to send, 4 KiB of
 *     commands (refusals of options a server asks for beyond that are dropped) and what one
 *     call is decoding. Only while a change of settings waits for answers behind unread data
 *     is received data taken in up to 1 MiB, given back once it has been read.
 *   - A connection the server closes is a hang-up: bytes that came before the close can still
 *     be read; after them every transfer and count fails at once.
 *   - Exclusivity is the server's: ser2net refuses a second client of a port it is serving.
 *
 * RAW TCP PORTS (Linux)
 *   COMn may also be a raw TCP port: a serial server in its raw mode (ser2net's plain `tcp`
 *   accepter), a serial-to-network module in "TCP server" mode, a Wi-Fi serial bridge. The
 *   link text is then "tcp://HOST:PORT" (`vcom remote COMn tcp://HOST:PORT`). Bytes pass
 *   unchanged both ways, 0xFF included. The line settings belong to the server: IOP_Open and
 *   IOP_Ioctrl take any valid word and IOP_GetIoctrl reads it back as given, as on a
 *   pseudo-terminal, and there are no modem lines. IOP_Open connects within 3 s (a name as
 *   for REMOTE PORTS); with nothing to negotiate it may return before the server has opened
 *   its device, and bytes written meanwhile wait in the connection. IOP_DOQ_Count is 0 (the
 *   bytes go straight to the connection); IOP_DIQ_Count counts what has arrived. A
 *   connection the server closes is a hang-up, reported once the bytes before it are read.
 *
 * THE LIBRARY'S STATE IS SHARED
 *   The library keeps, for the whole process and not per port: the configuration word last
 *   given to IOP_Open (once its device opened) or to IOP_Ioctrl for ANY port ("the last
 *   word"), and the DTR and RTS modes last remembered by IOP_SetDTR / IOP_SetRTS for ANY
 *   port. Its state is fixed storage, zero at load; it shows no message and keeps no error
 *   code of its own: failure shows in the result, and why in the platform's last error (see
 *   WHY A CALL FAILED). Buffers are only read or written during the call; no pointer is kept.
 *
 * WHY A CALL FAILED
 *   After a call that returns its failure result, the platform's last error tells why:
 *   errno on Linux, GetLastError() on Windows, as the table says. Nothing the library does
 *   after the failing step changes it. A call that succeeds may leave it as it was or change
 *   it; IOP_GetIoctrl, IOP_GetFlowctrl and IOP_DataStatus, whose 0 is also a word, set it
 *   when they return 0 for a port that is not open (clear errno first to tell), and
 *   IOP_Status never fails.
 *   cause                                          errno         GetLastError() (Windows)
 *   port out of range; parity code 5-7; a null    EINVAL        ERROR_INVALID_PARAMETER (87)
 *     buffer or byte pointer; a negative count
 *   the device refuses the settings (IOP_Open,     EINVAL        what SetCommState left,
 *     IOP_Ioctrl, IOP_Flowctrl, IOP_SetDTR/RTS)                  as a rule 87
 *   port not open (never opened, or closed)        EBADF         ERROR_INVALID_HANDLE (6)
 *   no map entry, or no device where it leads     ENOENT        ERROR_FILE_NOT_FOUND (2)
 *   a map entry that is neither a device nor a     EINVAL        -
 *     server address (unknown scheme, no port)
 *   the device is held: by another process,        EBUSY         ERROR_ACCESS_DENIED (5), as
 *     under another number, or the port is                       Windows reports a port in use
 *     already open (IOP_Open)
 *   this user may not open the device              EACCES        ERROR_ACCESS_DENIED (5)
 *   the device has gone (adapter unplugged, the    ENODEV        the driver's value
 *     other end of a pseudo-terminal closed)
 *   IOP_Putc, IOP_Getc: no byte taken or waiting   EAGAIN        WSAEWOULDBLOCK (10035)
 *   serial server: name not found                  EHOSTUNREACH  -
 *     connection refused                           ECONNREFUSED  -
 *     no answer in time                            ETIMEDOUT     -
 *     connection closed during the open            ECONNRESET    -
 *       (ENODEV once the settings are being applied)
 *     no RFC 2217 (remote ports)                   ENOTSUP       -
 *   out of memory or descriptors                   ENOMEM        -
 *   anything else the device reports               EIO           the platform's value
 *
 * THREADS, CHILD PROCESSES AND EXIT
 *   The functions may be called from several threads at once. Safe:
 *   - one thread reading a port (IOP_Read, IOP_Getc) while another writes to it (IOP_Write,
 *     IOP_Putc) and others ask for its status, queue counts or settings;
 *   - any calls on different ports from different threads: no port disturbs another;
 *   - IOP_Close while other threads are inside calls on the same port: their transfers end
 *     at once with the failure result, nothing of theirs (buffers, stack) is touched once
 *     their calls have returned, and none of the port's bytes reaches another device.
 *   Not supported (nothing crashes and no byte is lost or reordered, but a call fails):
 *   - two threads reading one port at the same time: while one IOP_Read or IOP_Getc waits,
 *     the other's read of that port returns its failure result. Likewise two threads writing
 *     one port (IOP_Write, IOP_Putc); and of two threads calling IOP_Status on one port at
 *     the same time, one may report bit 9 clear (the character is then reported later);
 *   - IOP_Open of a port while another thread is using the same port number. With IOP_Close
 *     of that number, in whatever order the two run, the port ends either open and held by
 *     the number or closed with its device given back; the call that comes too late
 *     returns -1. A transfer (IOP_Read, IOP_Getc, IOP_Write, IOP_Putc) that starts before
 *     IOP_Open has given the new port its time-outs fails as on a port that is not open, so
 *     that no transfer ever waits without its time-out.
 *   The shared values above are read and written whole; with several threads, "last" means
 *   last in whatever order their calls ran.
 *   CANCELLATION (Linux): a cancellation (pthread_cancel, with the thread's cancellation
 *   enabled and deferred) that is pending when a thread enters any of the functions is acted
 *   upon at once, before the call takes anything: no byte is read or sent, no lock is held, so
 *   a thread looping on IOP_Read can be cancelled and joined. Inside a call the thread is not
 *   cancellable: a cancellation that arrives while it waits lets the call end as usual (within
 *   its time-out, or at once if another thread closes the port, keeping the bytes it read),
 *   and takes effect at the thread's next cancellation point or its next call here.
 *   A child made by fork() inherits the open ports, which stay the parent's: IOP_Close in the
 *   child, or the child's exit, only lets go of the child's copy; the device keeps the
 *   parent's settings and stays held by the parent. The child uses its copy as a
 *   single-threaded parent would: calls that other threads of the parent were inside at the
 *   fork do not exist in the child and hold up none of its calls.
 *   When the process ends normally (return from main, exit()) or the library is unloaded
 *   (the last dlclose of it), every port still open is closed as IOP_Close would close it:
 *   the device gets back the settings it had before IOP_Open and is free for other programs.
 *   A thread still inside a call on such a port sees it fail. Then, on Linux, the unload
 *   waits until no thread is inside any of the library's calls, for at most 10 s, so that
 *   the library's code is not taken away under a running call; a thread that calls the
 *   library while or after it is unloaded is in error. A process killed by a signal cannot
 *   close its ports this way.
 *
 * CONFIGURATION WORD (cflag), as given to IOP_Open and IOP_Ioctrl and read back by
 * IOP_GetIoctrl. Bits 13-31 are ignored when given and 0 when read back.
 *   bits 0-3   baud code      0:110 1:300 2:600 3:1200 4:2400 5:4800 6:9600 7:14400 8:19200
 *                             9:38400 10:56000 11:57600 12:115200 13:128000 14:256000 15:28800
 *   bits 4-5   data bits      0:5 1:6 2:7 3:8
 *   bit  6     stop bits      0:one 1:two (one and a half has no code)
 *   bit  7     XON/XOFF       1: software flow control both ways (XON 0x11, XOFF 0x13)
 *   bits 8-10  parity         0:none 1:EVEN 2:ODD 3:mark 4:space (note: 1 is even, 2 is odd);
 *                             codes 5-7 are invalid and make IOP_Open/IOP_Ioctrl return -1
 *                             having changed nothing
 *   bit  11    abort on close 1: IOP_Close aborts the port's pending transfers first. Since
 *                             the last word is shared, the last word given to any port
 *                             decides this for every port. The line is not affected.
 *   bit  12    handshake off  1: DTR and RTS simply on, no hardware flow control;
 *                             0: DTR/DSR and RTS/CTS hardware handshaking
 *   SPEEDS a device cannot make within 2 % are refused like any refused setting: a PC's
 *   UART divides 115200 bit/s by a whole number, so 56000 (it would run at 57600), 128000
 *   and 256000 are refused there; an FTDI USB adapter cannot go below about 183 bit/s, so
 *   110 is refused there. Other devices are taken at their driver's word.
 *   HANDSHAKE on Linux: the driver drives RTS itself (off while its input queue is full)
 *   and stops sending while CTS is off; DTR stays on (there is no DTR/DSR flow control).
 *   Examples: 9600 8N1 without flow control 0x1036; with XON/XOFF 0x10B6; with hardware
 *   handshake 0x0036.
 *   Read back (IOP_GetIoctrl): each code from the port's current settings (a setting with no
 *   code, such as a rate not in the list, reads as code 0 in its field); bit 7 when input
 *   XON/XOFF is on; bit 11 copied from the last word; bit 12 when DTR and RTS are both simply
 *   enabled. A port configured by IOP_Open/IOP_Ioctrl reads back as the word applied, with
 *   bit 11 from the last word.
 *
 * FLOW-CONTROL WORD (iflag), given to IOP_Flowctrl and returned by IOP_GetFlowctrl.
 *   bit 0  DTR/DSR handshake   given 1: on; given 0: off, DTR simply enabled.
 *                              reported: DTR in handshake mode
 *   bit 1  RTS/CTS handshake   likewise for RTS/CTS
 *   bit 2  XON/XOFF            given: both directions on/off; reported: input XON/XOFF on
 *   bit 3  DTR disabled        reported only (ignored when given): DTR held off
 *   bit 4  RTS disabled        reported only: RTS held off
 *   Bits 5-31 are ignored when given and 0 when reported. DTR or RTS simply enabled (or in a
 *   mode this library never sets, such as RTS toggle) reports neither of its two bits.
 *
 * STATUS WORD (sflag), returned by IOP_Status.
 *   bits 0-3  baud code of an open port (as in cflag; 0 when not open or unknown)
 *   bit  6    port open                  bit 11  port NOT open (always the complement of 6)
 *   bit  7    DTR and RTS both in handshake mode (0 when the settings cannot be read)
 *   bit  8    CTS on          bit 10  carrier detect on          bit 12  DSR on
 *   bit  9    a character was received since the previous IOP_Status of this port (or since
 *             it was opened)
 *   Other bits are 0. Ring indicator is not reported. Modem lines read 0 on devices that have
 *   none (pseudo-terminals).
 *
 * ERROR WORD (eflag), returned by IOP_DataStatus: the receive errors since the last
 * IOP_DataStatus, IOP_DIQ_Count or IOP_DOQ_Count of the port (each of those clears them).
 *   bit 0  overrun: a character was lost in the device
 *   bit 1  the input queue overflowed
 *   bit 2  parity error
 *   bit 3  output queue full
 *   Other bits are 0. Framing errors and breaks are not reported.
 *   RECEIVED BYTES ARE NEVER ALTERED: a byte that arrives with a parity or framing error is
 *   handed over as it arrived (not replaced by a zero byte), and a break hands over no byte
 *   at all; the device still counts the errors, and parity errors show in bit 2.
 *
 * RESULTS
 *   int32_t functions return 0 on success and -1 on failure, except IOP_ResetDIQ (1 on
 *   success) and the four word functions IOP_GetIoctrl, IOP_GetFlowctrl, IOP_Status and
 *   IOP_DataStatus, which have no failure value (see each). uint32_t functions return a
 *   count, or 0xFFFFFFFF on failure.
 */
#ifndef TTY_H
#define TTY_H

#include <stdint.h>

#if defined(_WIN32) && defined(TTY_BUILDING)
#define TTY_API __declspec(dllexport)
#define TTY_CALL __stdcall
#elif defined(_WIN32)
#define TTY_API __declspec(dllimport)
#define TTY_CALL __stdcall
#else
#define TTY_API __attribute__((visibility("default")))
#define TTY_CALL
#endif

/* No C++ exception ever leaves a function. On Linux they are declared without noexcept all the
 * same: a thread cancelled before it enters one is unwound from it (see CANCELLATION), and a
 * caller's compiler must keep the caller's clean-ups for that, as for the C library's own
 * cancellation points. */
#if defined(__cplusplus) && defined(_WIN32)
#define TTY_NOEXCEPT noexcept
#else
#define TTY_NOEXCEPT
#endif
#ifdef __cplusplus
extern "C" {
#endif

/* ---- Opening, closing and line control ---- */

/* Opens port `port` exclusively and configures it from `cflag`: the given speed, data bits,
 * parity, stop bits and flow control; both queues emptied; reads return what is waiting at
 * once or wait up to 1000 ms in all; writes may take up to 2 ms per byte. `cflag` becomes the
 * last word as soon as the device is open.
 * Returns 0: open and configured.
 * Returns -1 and changes nothing when: the port is out of range; the parity code is 5-7; the
 *   port is already open (it stays open with its handle); the device is missing or busy
 *   (opened elsewhere).
 * Returns -1 when the device refuses the settings (for instance 5 data bits with two stop
 *   bits): the device stays held by the port, which does not count as open (IOP_Status
 *   reports bit 11) although the other calls still reach the device, raw but with the line
 *   settings it had before; the last word is `cflag`. IOP_Close(port) releases the device (it
 *   returns 0); so does the next IOP_Open of the port, which then opens the device anew. */
TTY_API int32_t TTY_CALL IOP_Open(int32_t port, int32_t cflag) TTY_NOEXCEPT;

/* Closes the port's device, first aborting its pending transfers if bit 11 of the last word
 * is set (the queues are not emptied). Also releases a device that IOP_Open could not
 * configure. Returns 0, or -1 when the port is out of range, was never opened or is already
 * closed. After it, every call for the port fails until it is opened again; calls that other
 * threads are making on the port end at once with their failure result. */
TTY_API int32_t TTY_CALL IOP_Close(int32_t port) TTY_NOEXCEPT;

/* Applies a new configuration word to an open port (speed, data bits, stop bits, parity,
 * handshake, XON/XOFF; XON/XOFF characters, queues and time-outs stay). Returns 0, or -1 when
 * the port is not open or the device refuses the settings (then the line is unchanged).
 * `cflag` becomes the last word even when the call fails, except when the port is out of
 * range or the parity code is 5-7: then -1 and nothing changes. */
TTY_API int32_t TTY_CALL IOP_Ioctrl(int32_t port, int32_t cflag) TTY_NOEXCEPT;

/* Applies a flow-control word (iflag, not cflag): bit 0 DTR/DSR handshake, bit 1 RTS/CTS
 * handshake, bit 2 XON/XOFF. The last word is not changed. Returns 0, or -1 when the port is
 * not open or the device refuses the settings. */
TTY_API int32_t TTY_CALL IOP_Flowctrl(int32_t port, int32_t iflag) TTY_NOEXCEPT;

/* Returns the port's read-back configuration word (see above); 0 when the port is not open
 * or out of range. */
TTY_API int32_t TTY_CALL IOP_GetIoctrl(int32_t port) TTY_NOEXCEPT;

/* Returns the port's flow-control word (see above); 0 when the port is not open or out of
 * range. */
TTY_API int32_t TTY_CALL IOP_GetFlowctrl(int32_t port) TTY_NOEXCEPT;

/* Drives DTR. First, if the port's DTR mode is not "disabled", it is remembered (one
 * remembered mode for the whole library, whatever the port). flag 0: DTR off (mode
 * disabled). flag 1: the remembered mode is restored (disabled while none was ever
 * remembered). Any other flag: the mode is written back unchanged. Returns 0, or -1 when the
 * port is not open or the device refuses the settings. */
TTY_API int32_t TTY_CALL IOP_SetDTR(int32_t port, int32_t flag) TTY_NOEXCEPT;

/* Drives RTS exactly as IOP_SetDTR drives DTR, with its own remembered mode. In handshake
 * mode, flag 0 holds RTS off and hands the line's hardware flow control back until flag 1
 * restores the mode (the driver would otherwise raise RTS again): meanwhile CTS no longer
 * stops sending either, and IOP_GetFlowctrl reports bit 4 instead of bit 1. When flag 1
 * restores handshake mode while the input queue is full, RTS comes on once it is read. */
TTY_API int32_t TTY_CALL IOP_SetRTS(int32_t port, int32_t flag) TTY_NOEXCEPT;

/* ---- Data transfer and status ---- */

/* Sends the one byte at `c` without waiting. Returns 0 when the byte was taken at once; -1
 * when it could not be (the attempt is then abandoned before the call returns), when `c` is
 * null or when the port is not open. */
TTY_API int32_t TTY_CALL IOP_Putc(int32_t port, const char *c) TTY_NOEXCEPT;

/* Takes one received byte into `*c` without waiting. `*c` is set to 0 first (unless `c` is
 * null). Returns 0 with the byte at `*c`; -1 when no byte was waiting (a byte arriving later
 * is kept for the next read), when the port is not open or when `c` is null. */
TTY_API int32_t TTY_CALL IOP_Getc(int32_t port, char *c) TTY_NOEXCEPT;

/* Sends `count` bytes from `buffer` and waits until they have been handed to the device or
 * the write time-out (2 ms per byte) has passed. Returns the number of bytes written (fewer
 * than `count` after a time-out), or 0xFFFFFFFF when the port is not open, the device has
 * gone away (hang-up), `buffer` is null or `count` is negative (nothing sent). */
TTY_API uint32_t TTY_CALL IOP_Write(int32_t port, const char *buffer, int32_t count) TTY_NOEXCEPT;

/* Receives up to `count` bytes into `buffer`. `buffer` MUST HOLD AT LEAST 256 BYTES and at
 * least `count` bytes: its first 256 bytes are always set to 0 first, so when fewer than 256
 * bytes arrive a zero byte follows them. Returns at once with what is waiting; otherwise
 * waits until `count` bytes have arrived or 1000 ms have passed, and returns how many
 * arrived, possibly 0. When the device goes away (hang-up) while the read waits, it returns
 * the bytes that had arrived; the next call reports the hang-up.
 * Returns 0xFFFFFFFF, with the buffer cleared all the same, when the port is not open (out
 * of range included) or the device has gone away (hang-up) before any byte arrived; and,
 * leaving the buffer untouched, when `buffer` is null or `count` is negative. */
TTY_API uint32_t TTY_CALL IOP_Read(int32_t port, char *buffer, int32_t count) TTY_NOEXCEPT;

/* Returns the number of bytes waiting in the output queue, or 0xFFFFFFFF when the port is not
 * open or the device has gone away. Clears the port's receive-error record (see eflag). */
TTY_API uint32_t TTY_CALL IOP_DOQ_Count(int32_t port) TTY_NOEXCEPT;

/* Returns the number of received bytes waiting to be read, or 0xFFFFFFFF when the port is
 * not open or the device has gone away. Clears the port's receive-error record (see eflag). */
TTY_API uint32_t TTY_CALL IOP_DIQ_Count(int32_t port) TTY_NOEXCEPT;

/* Discards the bytes waiting to be sent (a write in progress is not aborted). Returns 0, or
 * -1 when the port is not open. */
TTY_API int32_t TTY_CALL IOP_ResetDOQ(int32_t port) TTY_NOEXCEPT;

/* Discards the received bytes not yet read. Returns 1 (not 0) on success, -1 when the port is
 * not open. */
TTY_API int32_t TTY_CALL IOP_ResetDIQ(int32_t port) TTY_NOEXCEPT;

/* Returns the status word (sflag, see above) without waiting. Has no failure value: a port
 * that is not open, out of range included, reports 0x0800 (bit 11 alone); a port holding a
 * device that IOP_Open could not configure reports bit 11 with the device's bits 7-10 and 12. */
TTY_API int32_t TTY_CALL IOP_Status(int32_t port) TTY_NOEXCEPT;

/* Returns the error word (eflag, see above) and clears the port's receive-error record. Has no
 * failure value: 0 when the port is not open or out of range. */
TTY_API int32_t TTY_CALL IOP_DataStatus(int32_t port) TTY_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
