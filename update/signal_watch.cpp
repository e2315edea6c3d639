#include "signal_watch.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int wakePipe[2] = {-1, -1};

void OnSignal(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    std::signal(signal, SIG_DFL);
}

}  // namespace

SignalWatch::SignalWatch(std::initializer_list<int> which, QObject* parent) : QObject(parent) {
    if (wakePipe[0] < 0 && ::pipe(wakePipe) != 0) {
        return;
    }
    ::fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
    notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        if (::read(wakePipe[0], &byte, 1) == 1) {
            emit Raised(byte);
        }
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : which) {
        sigaction(signal, &action, nullptr);
    }
}

SignalWatch::~SignalWatch() = default;
