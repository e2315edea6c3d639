#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals (Ctrl-C, a logout's SIGTERM) into a Qt signal on the event loop, where
// it is safe to act on them: the handler only writes a byte to a pipe. The first arrival of
// each signal is delivered; a second one of the same kind ends the program at once, the way
// an impatient user expects.
class SignalWatch : public QObject {
    Q_OBJECT
public:
    SignalWatch(std::initializer_list<int> which, QObject* parent = nullptr);
    ~SignalWatch() override;

signals:
    void Raised(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
};
