// The terminal window "Demo": the menu bar (Open: Setting, Exit; Action: Connect, Disconnect),
// the edit control Text1 that shows what the port receives and sends what is typed, pasted or
// dropped into it, and the 100 ms poll timer.
#pragma once

#include <windows.h>

namespace velkofrm {

// Creates and shows the window; the program ends when it has been destroyed.
HWND create(HINSTANCE instance, int show);

} // namespace velkofrm
