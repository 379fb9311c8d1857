// Start of the Demo terminal program: the terminal window, then the event loop.
#include "velkofrm.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Velkofrm window;
    window.show();
    return app.exec();
}
