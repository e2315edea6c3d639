#pragma once

#include <QString>
#include <QtGlobal>

// How far an update has come and how long it will take: the data lines sent of the file's
// data lines, the lines per second, and the time left. Time spent waiting for someone to
// answer a prompt is no work of the line and is left out of the rate. Times are
// milliseconds on any steady clock, given by the caller.
class Progress {
public:
    explicit Progress(int dataLines = 0) : dataLines_(dataLines) {}

    // A send of data line `line` (its position among the data lines, from 1).
    void LineSent(int line, qint64 now);
    // A prompt opened and was answered.
    void PauseBegin(qint64 now);
    void PauseEnd(qint64 now);

    int DataLines() const { return dataLines_; }
    int Sent() const { return sent_; }
    // Whole percent, 100 only once every data line has gone out.
    int Percent() const;
    // Lines per second over the working time since the first send; negative while there is
    // too little to go on.
    double Rate(qint64 now) const;
    // Seconds left at the current rate; negative when unknown.
    qint64 SecondsLeft(qint64 now) const;

private:
    qint64 Working(qint64 now) const;

    int dataLines_;
    int sent_ = 0;
    qint64 firstSendAt_ = -1;
    qint64 paused_ = 0;
    qint64 pauseSince_ = -1;
};

// "0:42", "12:05", "1:02:03".
QString FormatDuration(qint64 seconds);
