// Start of Demo.exe: the terminal window, then the message loop until it is destroyed.
#include "velkofrm.h"

#include <ole2.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    OleInitialize(nullptr); // for text dropped on the box
    if (!velkofrm::create(instance, show))
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    OleUninitialize();
    return int(message.wParam);
}
