// Which COM ports exist on this machine: the serial devices Windows has mapped, read from
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM and QueryDosDevice. Nothing is opened.
#pragma once

#include <vector>

namespace comports {

// present[n] is true where COMn exists, for n = 0..last (present[0] is always false).
std::vector<bool> present(int last);

} // namespace comports
