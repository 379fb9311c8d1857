// The settings dialog "Setting Box" (template IDD_SETTINGS in demo.rc): port and line
// settings. Every showing starts from the built-in defaults; OK hands back the port number
// and the configuration word.
#pragma once

#include <cstdint>

#include <windows.h>

namespace velkooptions {

struct Choice {
    bool ok = false;  // closed by OK; Cancel and the close control leave the rest unset
    int32_t port = 0;
    int32_t flag = 0;
};

// Shows the dialog modally over `owner` and returns once it has closed.
Choice show(HWND owner);

} // namespace velkooptions
