#include "progress.h"

namespace {

// Below this much working time a rate says more about the timer than about the line.
constexpr qint64 kMinimumWorkingMs = 500;

}  // namespace

void Progress::LineSent(int line, qint64 now) {
    if (firstSendAt_ < 0) {
        firstSendAt_ = now;
    }
    sent_ = qMax(sent_, line);
}

void Progress::PauseBegin(qint64 now) {
    if (pauseSince_ < 0) {
        pauseSince_ = now;
    }
}

void Progress::PauseEnd(qint64 now) {
    if (pauseSince_ >= 0) {
        // A prompt before the first send is no part of the transfer's time at all.
        if (firstSendAt_ >= 0) {
            paused_ += now - qMax(pauseSince_, firstSendAt_);
        }
        pauseSince_ = -1;
    }
}

int Progress::Percent() const {
    if (dataLines_ <= 0) {
        return 0;
    }
    return int(qint64(qMin(sent_, dataLines_)) * 100 / dataLines_);
}

qint64 Progress::Working(qint64 now) const {
    if (firstSendAt_ < 0) {
        return 0;
    }
    qint64 paused = paused_;
    if (pauseSince_ >= 0) {
        paused += now - qMax(pauseSince_, firstSendAt_);
    }
    return now - firstSendAt_ - paused;
}

double Progress::Rate(qint64 now) const {
    const qint64 working = Working(now);
    if (working < kMinimumWorkingMs || sent_ == 0) {
        return -1.0;
    }
    return sent_ * 1000.0 / double(working);
}

qint64 Progress::SecondsLeft(qint64 now) const {
    const double rate = Rate(now);
    if (rate <= 0.0) {
        return -1;
    }
    return qint64((dataLines_ - qMin(sent_, dataLines_)) / rate + 0.5);
}

QString FormatDuration(qint64 seconds) {
    const qint64 h = seconds / 3600;
    const qint64 m = seconds / 60 % 60;
    const qint64 s = seconds % 60;
    if (h > 0) {
        return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}
