/* The serial-communications API the library is written against, under its Win32 names.
 * On Windows this is <windows.h> itself. Elsewhere the library carries its own small
 * implementation (tty/posix/), built on termios, ioctl, flock and poll; nothing of it is
 * exported from libtty.so. Records have Windows' layouts and constants Windows' values. */
#ifndef TTY_WIN32_H
#define TTY_WIN32_H

#ifdef _WIN32
#include <windows.h>
#else

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uintptr_t ULONG_PTR;
typedef void *HANDLE;
typedef void *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;

#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

/* Last-error values. */
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_DEVICE_NOT_CONNECTED 1167u /* the device hung up (adapter pulled, pty master closed) */
#define ERROR_NOT_FOUND 1168u /* CancelIoEx: no pending operation matched */
#define ERROR_SHARING_VIOLATION 32u /* another handle or process has the device */
#define ERROR_INVALID_NAME 123u     /* a map entry that names neither a device nor a server */
#define ERROR_CONNECTION_REFUSED 1225u
#define ERROR_HOST_UNREACHABLE 1232u
#define ERROR_TIMEOUT 1460u
#define WSAEWOULDBLOCK 10035u       /* nothing could be done at once */
#define WSAECONNRESET 10054u
#define WSAHOST_NOT_FOUND 11001u

/* CreateFileA */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

/* Baud rates */
#define CBR_110 110u
#define CBR_300 300u
#define CBR_600 600u
#define CBR_1200 1200u
#define CBR_2400 2400u
#define CBR_4800 4800u
#define CBR_9600 9600u
#define CBR_14400 14400u
#define CBR_19200 19200u
#define CBR_38400 38400u
#define CBR_56000 56000u
#define CBR_57600 57600u
#define CBR_115200 115200u
#define CBR_128000 128000u
#define CBR_256000 256000u

/* DCB values */
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

/* Events, purge flags, modem status, errors */
#define EV_RXCHAR 0x0001u
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u
#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u
#define CE_TXFULL 0x0100u

/* Windows' DCB, bit-fields in Windows' order: 28 bytes. */
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     /* status of the operation */
    ULONG_PTR InternalHigh; /* bytes transferred */
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        LPVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

/* Files and handles */
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD creation,
                   DWORD flags, HANDLE templ);
BOOL CloseHandle(HANDLE h);
DWORD GetLastError(void);
void SetLastError(DWORD err);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL DisableThreadLibraryCalls(HMODULE module);

/* Line settings */
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);
BOOL GetCommState(HANDLE h, LPDCB dcb);
BOOL SetCommState(HANDLE h, LPDCB dcb);

/* Transfer and status */
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov);
BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD done, BOOL wait);
BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov);
BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
BOOL GetCommModemStatus(HANDLE h, LPDWORD status);
BOOL WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */
#endif /* TTY_WIN32_H */
