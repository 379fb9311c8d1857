// Child program of the binding test: makes the program's first library call and prints
// each message it would show. The binding's failure ends the program, so the parent test
// sees the message, the exit status and whether the call ever returned.
#include "message.h"
#include "velkomod.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IONBF, 0); // every line out before the program may end
    QApplication app(argc, argv);
    zantic::setMessageHook([](const QString &text) {
        std::printf("message: %s\n", qPrintable(text));
    });
    std::printf("path: %s\n", qPrintable(velkomod::libraryPath()));
    const int32_t r = zantic::core::IOP_Open(1, 0x1036);
    std::printf("returned: %d\n", r);
    return 0;
}
