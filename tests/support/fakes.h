#pragma once

// Fakes for the update run: a recording window, a scripted port and a virtual clock. Time is
// virtual: it moves only when the run yields (or blocks on the port in its final wait), so
// tests of whole-second waits run in microseconds and never depend on the machine's speed.

#include "clock.h"
#include "failure.h"
#include "mscomm.h"
#include "run_window.h"
#include "update_run.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <utility>

struct VirtualTime {
    // Starts in the middle of a second, so that a whole-second wait lasts less than its
    // nominal length, as on a real clock.
    qint64 ms = 1'000'500;
};

class FakeClock : public Clock {
public:
    explicit FakeClock(VirtualTime& time) : time_(time) {}
    qint64 Seconds() override { return time_.ms / 1000; }

private:
    VirtualTime& time_;
};

// A port whose peer is a script: what the run writes goes to onOutput, which may queue
// replies to arrive at a virtual time. Every operation is logged, and any can be made to fail.
class FakeComm : public MSComm {
public:
    explicit FakeComm(VirtualTime& time) : time_(time) {}

    QStringList log;
    // Operations (by the name they log with, e.g. "PortOpen=1") that raise a Failure.
    QStringList failing;
    // Called after each logged operation, e.g. to press Cancel at a given step.
    std::function<void(const QString& op)> onOp;
    // The peer: called with each text the run writes.
    std::function<void(const QString& text)> onOutput;

    // Queues text to arrive after delayMs of virtual time.
    void Send(const QString& text, qint64 delayMs) { arrivals_.push_back({time_.ms + delayMs, text}); }
    // The peer holds the run's output with XOFF from fromMs to untilMs of virtual time: what
    // the run writes meanwhile stays queued here and reaches the peer at untilMs.
    void Hold(qint64 fromMs, qint64 untilMs) { hold_ = {fromMs, untilMs}; }

    int Handshaking() const override { return handshaking_; }
    void Handshaking(int mode) override {
        Op(QStringLiteral("Handshaking=%1").arg(mode));
        handshaking_ = mode;
    }
    QString Settings() const override { return settings_; }
    void Settings(const QString& s) override {
        Op(QStringLiteral("Settings=") + s);
        settings_ = s;
    }
    qint16 CommPort() const override { return port_; }
    void CommPort(qint16 p) override {
        Op(QStringLiteral("CommPort=%1").arg(p));
        if (p < 1) {
            throw Failure(QStringLiteral("Invalid port number"));
        }
        port_ = p;
    }
    bool PortOpen() const override { return open_; }
    QString DeviceName() const override { return QStringLiteral("/dev/fake%1").arg(port_); }
    void PortOpen(bool open) override {
        Op(QStringLiteral("PortOpen=%1").arg(open ? 1 : 0));
        open_ = open;
    }
    qint16 InBufferCount() override {
        Deliver();
        return static_cast<qint16>(qMin(buffer_.size(), qsizetype(32767)));
    }
    QString Input() override {
        Deliver();
        QString text;
        text.swap(buffer_);
        return text;
    }
    void Output(const QString& text) override {
        RequireOpen();
        Op(QStringLiteral("Output=") + text);
        Release();
        if (time_.ms >= hold_.first && time_.ms < hold_.second) {
            held_ << text;
        } else if (onOutput) {
            onOutput(text);
        }
    }
    qint16 OutBufferCount() override {
        RequireOpen();
        Release();
        return qint16(held_.join(QString()).size());
    }
    void WaitForInput(int msecs) override {
        Deliver();
        if (buffer_.isEmpty()) {
            const qint64 until = time_.ms + msecs;
            time_.ms = arrivals_.empty() ? until : qMin(until, qMax(time_.ms, arrivals_.front().first));
            Deliver();
        }
    }

private:
    void Op(const QString& op) {
        log << op;
        if (onOp) {
            onOp(op);
        }
        if (failing.contains(op)) {
            throw Failure(QStringLiteral("injected: ") + op);
        }
    }
    void RequireOpen() const {
        if (!open_) {
            throw Failure(QStringLiteral("Port not open"));
        }
    }
    void Release() {
        if (time_.ms < hold_.second) {
            return;
        }
        const QStringList out = std::exchange(held_, {});
        for (const QString& text : out) {
            if (onOutput) {
                onOutput(text);
            }
        }
    }
    void Deliver() {
        RequireOpen();
        Release();
        while (!arrivals_.empty() && arrivals_.front().first <= time_.ms) {
            buffer_ += arrivals_.front().second;
            arrivals_.pop_front();
        }
    }

    VirtualTime& time_;
    int handshaking_ = 0;
    QString settings_ = QStringLiteral("57600,n,8,1");
    qint16 port_ = 1;
    bool open_ = false;
    QString buffer_;
    std::deque<std::pair<qint64, QString>> arrivals_;
    std::pair<qint64, qint64> hold_{0, 0};
    QStringList held_;
};

// A window that records every change a run makes, in order, as "Control.Property=value",
// keeps the latest value of each, answers message boxes from a script, and advances virtual
// time at each yield, ticking the run's timers as the real window's would.
class RecordingWindow : public RunWindow {
public:
    explicit RecordingWindow(VirtualTime& time) : time_(time) {}

    // The run whose timer handlers the window ticks.
    UpdateRun* run = nullptr;
    QString text1;
    int listIndex = 0;
    QStringList log;
    // The latest value of each "Control.Property", e.g. state["Label2.Caption"].
    QMap<QString, QString> state;
    // The message boxes shown, as "style|prompt" and "|detail" when a detail is shown below
    // the prompt.
    QStringList boxes;
    // Answers to Yes/No boxes, in order; Yes when the script has run out.
    std::deque<MsgBoxResult> answers;
    // Called while each box is open.
    std::function<void()> onBox;
    // Called at each yield (which takes 10 ms) after time has moved, e.g. to press Cancel.
    std::function<void()> onYield;
    int blockingYields = 0;
    bool timer3On = false;
    // Makes this change fail with a Failure, as a window update may.
    QString failOn;

    static QString Name(Control c) {
        static const char* const kNames[] = {"Label2",   "Label14",  "Label16",  "Label17",
                                             "Label18",  "Command1", "Command3", "Command4",
                                             "Command6", "Text1",    "Combo1",   "Timer3"};
        return QLatin1String(kNames[static_cast<int>(c)]);
    }

    QString Caption() const override { return QStringLiteral("Quorvel - V 1.0"); }
    void SetCaption(Control c, const QString& text) override { Record(Name(c) + ".Caption=" + text); }
    void SetEnabled(Control c, bool on) override {
        Record(Name(c) + ".Enabled=" + (on ? "1" : "0"));
        if (c == Control::Timer3) {
            timer3On = on;
            nextTimer3_ = time_.ms + 1000;
        }
    }
    void SetVisible(Control c, bool on) override { Record(Name(c) + ".Visible=" + (on ? "1" : "0")); }
    void ZOrder(Control c) override { Record(Name(c) + ".ZOrder"); }
    void SetFocus(Control c) override { Record(Name(c) + ".SetFocus"); }
    QString Text(Control) const override { return text1; }
    int ListIndex(Control) const override { return listIndex; }
    void AddItem(Control c, const QString& item) override { Record(Name(c) + ".AddItem=" + item); }
    MsgBoxResult Ask(const QString& prompt, int style, const PromptFacts&) override {
        return Box(prompt, style, QString());
    }
    void Tell(const QString& text, int style, const OutcomeFacts& facts) override { Box(text, style, facts.reason); }
    MsgBoxResult Box(const QString& prompt, int style, const QString& detail) {
        boxes << QStringLiteral("%1|%2").arg(style).arg(prompt) + (detail.isEmpty() ? "" : "|" + detail);
        Record(QStringLiteral("MsgBox=") + prompt);
        if (onBox) {
            onBox();
        }
        if ((style & 0x0F) != YesNo) {
            return MsgBoxResult::Ok;
        }
        const MsgBoxResult answer = answers.empty() ? MsgBoxResult::Yes : answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        return answer;
    }
    void DoEvents(YieldMode mode) override {
        blockingYields += mode == YieldMode::UntilEvent;
        const qint64 until = time_.ms + 10;
        while (nextTick_ <= until || (timer3On && nextTimer3_ <= until)) {
            const bool timer3 = timer3On && nextTimer3_ <= nextTick_;
            qint64& next = timer3 ? nextTimer3_ : nextTick_;
            time_.ms = next;
            next += timer3 ? 1000 : 60;
            if (run) {
                timer3 ? run->Timer3_Timer() : run->Timer1_Timer();
            }
        }
        time_.ms = until;
        if (onYield) {
            onYield();
        }
    }

private:
    void Record(const QString& entry) {
        log << entry;
        state[entry.section('=', 0, 0)] = entry.section('=', 1);
        if (!failOn.isEmpty() && entry == failOn) {
            throw Failure(QStringLiteral("injected: ") + entry);
        }
    }

    VirtualTime& time_;
    qint64 nextTick_ = time_.ms + 60;
    qint64 nextTimer3_ = 0;
};

// A run wired to the fakes, its timers ticked by the recording window.
struct FakeRun {
    VirtualTime time;
    FakeClock clock{time};
    FakeComm comm{time};
    RecordingWindow window{time};
    FormVariables vars;
    UpdateRun run{vars, window, comm, clock};

    FakeRun() {
        window.run = &run;
        vars.Tokens = ProtocolTokens::Defaults();
        // The engine's files name their lines (":D1", ":D2" ...) instead of holding records.
        run.SetRecordCheck(false);
    }
};
