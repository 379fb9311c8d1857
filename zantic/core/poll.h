// One tick of the terminal's poll, the same for every face of Demo: how much it reads from
// the port, and when a failed call means that the device has gone. The library's calls come
// in as PortCalls, so that a test can script them. Standard C++ only.
#pragma once

#include "core/library.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zantic::core {

// Most bytes, and longest time, one tick spends reading the port; the rest waits for the
// next tick. Far above what the fastest line needs (USB full speed, 1.2 MB/s: 120 KB a tick,
// read in about 4 ms); they only keep a flood from holding the window. (A fast stream keeps
// arriving while the tick reads: without the time bound the tick would chase it.)
inline constexpr int32_t kMaxReadPerTick = 1024 * 1024;
inline constexpr std::chrono::milliseconds kMaxReadTime{25};
// How often a tick that has read something looks again at an empty queue.
inline constexpr int kEmptyLooks = 3;
// The smallest buffer IOP_Read may be given: it always clears its first 256 bytes.
inline constexpr int32_t kMinReadBuffer = 256;

struct TickResult {
    size_t count = 0;  // bytes read into the buffer, from its start
    bool gone = false; // a call failed on the open port: its device has gone
};

// Reads what waits at the open port into `buffer` (resized to hold a full tick): everything,
// up to kMaxReadPerTick bytes or for kMaxReadTime, with `calls`' waiting, read and getc. An
// open port's calls fail only when its device has gone (unplugged, switched off, its other
// end ended): the caller then disconnects and says so once, after showing the bytes that
// came before.
TickResult readTick(int32_t port, const PortCalls &calls, std::vector<char> &buffer);

// Received bytes in a code page with double-byte characters: how many of `bytes` make whole
// characters. A lead byte left at the end waits for the byte after it, which a later tick
// brings, so that a character split between two ticks shows as itself. `isLead` tells a
// code page's lead bytes; null for a code page of single bytes.
size_t wholeCharacters(std::string_view bytes, bool (*isLead)(unsigned char byte));

// The one message that says so, naming the port.
std::string goneMessage(int32_t port);

} // namespace zantic::core
