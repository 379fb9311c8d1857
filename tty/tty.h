/* tty: a flat C interface to the machine's serial ports, keyed by port number.
 * Port n is the device COMn. (The full manual of each function is below.) */
#ifndef TTY_H
#define TTY_H

#include <stdint.h>

#if defined(_WIN32)
#define TTY_API __declspec(dllexport)
#define TTY_CALL __stdcall
#else
#define TTY_API __attribute__((visibility("default")))
#define TTY_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

TTY_API int32_t TTY_CALL IOP_Open(int32_t port, int32_t cflag);
TTY_API int32_t TTY_CALL IOP_Close(int32_t port);
TTY_API int32_t TTY_CALL IOP_Ioctrl(int32_t port, int32_t cflag);
TTY_API int32_t TTY_CALL IOP_Flowctrl(int32_t port, int32_t iflag);
TTY_API int32_t TTY_CALL IOP_GetIoctrl(int32_t port);
TTY_API int32_t TTY_CALL IOP_GetFlowctrl(int32_t port);
TTY_API int32_t TTY_CALL IOP_SetDTR(int32_t port, int32_t flag);
TTY_API int32_t TTY_CALL IOP_SetRTS(int32_t port, int32_t flag);

TTY_API int32_t TTY_CALL IOP_Putc(int32_t port, const char *c);
TTY_API int32_t TTY_CALL IOP_Getc(int32_t port, char *c);
TTY_API uint32_t TTY_CALL IOP_Write(int32_t port, const char *buffer, int32_t count);
TTY_API uint32_t TTY_CALL IOP_Read(int32_t port, char *buffer, int32_t count);
TTY_API uint32_t TTY_CALL IOP_DOQ_Count(int32_t port);
TTY_API uint32_t TTY_CALL IOP_DIQ_Count(int32_t port);
TTY_API int32_t TTY_CALL IOP_ResetDOQ(int32_t port);
TTY_API int32_t TTY_CALL IOP_ResetDIQ(int32_t port);
TTY_API int32_t TTY_CALL IOP_Status(int32_t port);
TTY_API int32_t TTY_CALL IOP_DataStatus(int32_t port);

#ifdef __cplusplus
}
#endif

#endif
