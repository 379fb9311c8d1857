// The library's packed words and the pure translations between them and the DCB, the
// modem-status, event and error masks. Nothing here touches a device.
#ifndef TTY_WORDS_H
#define TTY_WORDS_H

#include "win32.h"

#include <cstdint>

namespace tty {

// Fields of the configuration word (cflag).
inline constexpr int32_t bBaud = 0x000F;
inline constexpr int32_t bSize = 0x0030;
inline constexpr int32_t bStopBits = 0x0040;
inline constexpr int32_t bXONXOFF = 0x0080;
inline constexpr int32_t bParity = 0x0700;
inline constexpr int32_t bHupcl = 0x0800;
inline constexpr int32_t bDTRRTS = 0x1000;

// Fields of the flow-control word (iflag). Bits 3 and 4 are only ever reported.
inline constexpr int32_t bDTRDSR = 0x01;
inline constexpr int32_t bRTSCTS = 0x02;
inline constexpr int32_t bFlowXONXOFF = 0x04;
inline constexpr int32_t bDTRDisabled = 0x08;
inline constexpr int32_t bRTSDisabled = 0x10;

// Fields of the status word (sflag).
inline constexpr int32_t bOpen = 0x0040;
inline constexpr int32_t bModem = 0x0080;
inline constexpr int32_t bCTS = 0x0100;
inline constexpr int32_t bRX = 0x0200;
inline constexpr int32_t bDCD = 0x0400;
inline constexpr int32_t bTX = 0x0800;
inline constexpr int32_t bDSR = 0x1000;

// Fields of the error word (eflag).
inline constexpr int32_t bOverrun = 0x1;
inline constexpr int32_t bOverflow = 0x2;
inline constexpr int32_t bParityError = 0x4;
inline constexpr int32_t bTxFull = 0x8;

// The code tables: index = code in the word, value = what the DCB member holds.
// BaudGroup has sixteen entries so that every value of the 4-bit field names a rate
// (code 15 is 28800). ParityGroup swaps odd and even against the platform's numbering.
inline constexpr DWORD BaudGroup[16] = {
    CBR_110,   CBR_300,   CBR_600,    CBR_1200,   CBR_2400,   CBR_4800,
    CBR_9600,  CBR_14400, CBR_19200,  CBR_38400,  CBR_56000,  CBR_57600,
    CBR_115200, CBR_128000, CBR_256000, 28800u,
};
inline constexpr DWORD ByteSizeGroup[4] = {5, 6, 7, 8};
inline constexpr DWORD StopBitsGroup[2] = {ONESTOPBIT, TWOSTOPBITS};
inline constexpr DWORD ParityGroup[5] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};

// True when every code in the word has a table entry (only the parity field can lack one).
bool cflag_has_entries(int32_t cflag);

// 1. Baud rate, data bits, stop bits, parity, then the four handshake members from bit 12,
//    then fOutX/fInX from bit 7. Every other member keeps its value; bits 11 and 13-31 have no
//    effect. The word must pass cflag_has_entries.
void apply_cflag(DCB &dcb, int32_t cflag);

// 2. The read-back configuration word: codes looked up from the DCB (a value with no entry
//    gives 0 in its field), bit 11 from t_cflag.
int32_t cflag_from_dcb(const DCB &dcb, int32_t t_cflag);

// 3. Bit 0 the DTR/DSR handshake, bit 1 the RTS/CTS handshake, bit 2 XON/XOFF.
void apply_iflag(DCB &dcb, int32_t iflag);

// 4. From the control modes and fInX only. Modes 3 (DTR) and RTS_CONTROL_TOGGLE set no bit.
int32_t iflag_from_dcb(const DCB &dcb);

// 5. The status word. port_entry is the port's PORT entry (1 = open).
int32_t sflag_from(const DCB &dcb, int32_t port_entry, DWORD modem_status, DWORD events);

// 6. The error word from a CE_ error mask.
int32_t eflag_from(DWORD errors);

} // namespace tty

#endif
