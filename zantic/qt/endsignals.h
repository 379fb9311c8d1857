// SIGINT, SIGTERM and SIGHUP as an event: the handler only writes the signal's number into a
// socket pair, and the event loop, not the handler, tells the program to end.
#pragma once

#include <QObject>

class QSocketNotifier;

class EndSignals : public QObject {
    Q_OBJECT
public:
    // One per program. A signal the program was started with ignored (nohup) stays ignored.
    explicit EndSignals(QObject *parent = nullptr);
    ~EndSignals() override;

signals:
    void ended(int signal);

private:
    void readSignal();
    QSocketNotifier *m_notifier = nullptr;
};
