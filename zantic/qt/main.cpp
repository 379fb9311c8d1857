// Start of the Demo terminal program: the terminal window, then the event loop. SIGINT,
// SIGTERM and SIGHUP end it as Exit does.
#include "endsignals.h"
#include "velkofrm.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Velkofrm window;
    EndSignals ending;
    QObject::connect(&ending, &EndSignals::ended, &window, &Velkofrm::endProgram);
    window.show();
    return app.exec();
}
