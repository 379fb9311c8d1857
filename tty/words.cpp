// The pure translations between the library's packed words and the platform's records.
#include "words.h"

#include <cstddef>

namespace tty {
namespace {

constexpr int kBaudShift = 0;
constexpr int kSizeShift = 4;
constexpr int kStopShift = 6;
constexpr int kParityShift = 8;

int code(int32_t word, int32_t mask, int shift) { return (word & mask) >> shift; }

// Index of the entry equal to value, scanning from 0; a value with no entry reads as code 0,
// so a stray DCB value can never push bits into the neighbouring field.
template <std::size_t N> int32_t index_of(const DWORD (&table)[N], DWORD value) {
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == value) return static_cast<int32_t>(i);
    return 0;
}

} // namespace

bool cflag_has_entries(int32_t cflag) {
    constexpr int kParityCodes = sizeof ParityGroup / sizeof ParityGroup[0];
    return code(cflag, bParity, kParityShift) < kParityCodes;
}

void apply_cflag(DCB &dcb, int32_t cflag) {
    dcb.BaudRate = BaudGroup[code(cflag, bBaud, kBaudShift)];
    dcb.ByteSize = static_cast<BYTE>(ByteSizeGroup[code(cflag, bSize, kSizeShift)]);
    dcb.StopBits = static_cast<BYTE>(StopBitsGroup[code(cflag, bStopBits, kStopShift)]);
    // Callers refuse such words first; this guard only keeps the lookup inside the table.
    if (cflag_has_entries(cflag))
        dcb.Parity = static_cast<BYTE>(ParityGroup[code(cflag, bParity, kParityShift)]);

    if (cflag & bDTRRTS) {
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutxDsrFlow = 0;
        dcb.fOutxCtsFlow = 0;
    } else {
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutxDsrFlow = 1;
        dcb.fOutxCtsFlow = 1;
    }

    const DWORD xonxoff = (cflag & bXONXOFF) ? 1 : 0;
    dcb.fOutX = xonxoff;
    dcb.fInX = xonxoff;
}

int32_t cflag_from_dcb(const DCB &dcb, int32_t t_cflag) {
    int32_t word = 0;
    word |= index_of(BaudGroup, dcb.BaudRate) << kBaudShift;
    word |= index_of(ByteSizeGroup, dcb.ByteSize) << kSizeShift;
    word |= index_of(StopBitsGroup, dcb.StopBits) << kStopShift;
    if (dcb.fInX) word |= bXONXOFF;
    word |= index_of(ParityGroup, dcb.Parity) << kParityShift;
    word |= t_cflag & bHupcl;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE && dcb.fRtsControl == RTS_CONTROL_ENABLE)
        word |= bDTRRTS;
    return word;
}

void apply_iflag(DCB &dcb, int32_t iflag) {
    if (iflag & bDTRDSR) {
        dcb.fOutxDsrFlow = 1;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    } else {
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    }
    if (iflag & bRTSCTS) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fOutxCtsFlow = 0;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb.fOutX = (iflag & bFlowXONXOFF) ? 1 : 0;
    dcb.fInX = dcb.fOutX;
}

int32_t iflag_from_dcb(const DCB &dcb) {
    int32_t word = 0;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) word |= bDTRDSR;
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE) word |= bDTRDisabled;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) word |= bRTSCTS;
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) word |= bRTSDisabled;
    if (dcb.fInX) word |= bFlowXONXOFF;
    return word;
}

int32_t sflag_from(const DCB &dcb, int32_t port_entry, DWORD modem_status, DWORD events) {
    const bool open = port_entry == 1;
    int32_t word = open ? (index_of(BaudGroup, dcb.BaudRate) | bOpen) : bTX;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        word |= bModem;
    if (modem_status & MS_CTS_ON) word |= bCTS;
    if (events & EV_RXCHAR) word |= bRX;
    if (modem_status & MS_RLSD_ON) word |= bDCD;
    if (modem_status & MS_DSR_ON) word |= bDSR;
    return word;
}

int32_t eflag_from(DWORD errors) {
    int32_t word = 0;
    if (errors & CE_OVERRUN) word |= bOverrun;
    if (errors & CE_RXOVER) word |= bOverflow;
    if (errors & CE_RXPARITY) word |= bParityError;
    if (errors & CE_TXFULL) word |= bTxFull;
    return word;
}

} // namespace tty
