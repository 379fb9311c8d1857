// The layer's last error as errno (see last_error.h). tty.h documents the values callers see.
#include "last_error.h"

#include <cerrno>

namespace tty::posix {

int errno_from_last_error(DWORD err)
{
    switch (err) {
    case ERROR_SUCCESS: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_SHARING_VIOLATION: return EBUSY;
    case ERROR_NOT_SUPPORTED: return ENOTSUP;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME: return EINVAL;
    case ERROR_OPERATION_ABORTED: return ECANCELED;
    case ERROR_IO_INCOMPLETE:
    case ERROR_IO_PENDING: return EINPROGRESS;
    case ERROR_DEVICE_NOT_CONNECTED: return ENODEV;
    case ERROR_CONNECTION_REFUSED: return ECONNREFUSED;
    case ERROR_HOST_UNREACHABLE:
    case WSAHOST_NOT_FOUND: return EHOSTUNREACH;
    case ERROR_TIMEOUT: return ETIMEDOUT;
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAECONNRESET: return ECONNRESET;
    default: return EIO; // ERROR_GEN_FAILURE and anything unforeseen
    }
}

DWORD last_error_from_socket_errno(int err)
{
    switch (err) {
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT: return ERROR_HOST_UNREACHABLE;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
    }
}

} // namespace tty::posix
