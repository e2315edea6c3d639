#include "window_host.h"

#include "main_window.h"
#include "measure.h"
#include "protocol_tokens.h"
#include "serial_port_comm.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// A pause between two data lines longer than this is a wait of the program (a reply wait,
// an old loader's tick wait), not the line's round trip, which takes well under a
// millisecond unpaced and under 10 ms at 57600 baud.
constexpr std::int64_t kLineWaitUs = 100 * 1000;

const char* OutcomeName(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::None:
            return "None";
        case RunOutcome::PathRefused:
            return "PathRefused";
        case RunOutcome::Updated:
            return "Updated";
        case RunOutcome::Incomplete:
            return "Incomplete";
        case RunOutcome::Restarted:
            return "Restarted";
        case RunOutcome::UpdateFailed:
            return "UpdateFailed";
        case RunOutcome::NoFinalReply:
            return "NoFinalReply";
        case RunOutcome::NoResponse:
            return "NoResponse";
        case RunOutcome::NoRestart:
            return "NoRestart";
        case RunOutcome::Cancelled:
            return "Cancelled";
        case RunOutcome::Declined:
            return "Declined";
        case RunOutcome::PortFailure:
            return "PortFailure";
        case RunOutcome::FileOpenFailure:
            return "FileOpenFailure";
        case RunOutcome::FileRefused:
            return "FileRefused";
        case RunOutcome::DownloadFailure:
            return "DownloadFailure";
        case RunOutcome::ClosingFailure:
            return "ClosingFailure";
        case RunOutcome::WindowClosed:
            return "WindowClosed";
    }
    return "?";
}

// The moments of one run, as the serial control and the message boxes see them. Per line it
// costs a clock read and a few compares (plus one getrusage with gaps); everything else
// happens a handful of times a run.
class RunLog {
public:
    RunLog(bool timeline, bool gaps) : timeline_(timeline), gaps_(gaps) {
        if (timeline_) {
            lines_.reserve(1 << 16);
        }
    }

    void PortOpened() { opened_ = bench::MarkNow(); }

    void Sent(const QString& text) {
        bytes_out_ += std::uint64_t(text.size());
        if (text == readyRequest_) {
            if (readyRequests_.size() < 2) {
                readyRequests_.push_back(bench::MarkNow());
            }
            return;
        }
        ++sendCount_;
        if (firstSend_.Set() && !gaps_) {
            if (timeline_) {
                lines_.push_back({bench::NowUs(), -1});
            }
            return;
        }
        const bench::Mark now = bench::MarkNow();
        if (!firstSend_.Set()) {
            firstSend_ = now;
            out0_ = bytes_out_ - std::uint64_t(text.size());
            in0_ = bytes_in_;
        }
        if (gaps_) {
            EndLineWait(now);
            lineWaitStart_ = now;
        }
        if (timeline_) {
            lines_.push_back({now.wall_us, -1});
        }
    }

    void Received(const QString& text) {
        if (text.isEmpty()) {
            return;
        }
        bytes_in_ += std::uint64_t(text.size());
        if (timeline_ && !lines_.empty() && lines_.back().reply_us < 0) {
            lines_.back().reply_us = bench::NowUs();
        }
        if (firstSend_.Set() && !finalReply_.Set() && text.contains(QLatin1Char('#'))) {
            finalReply_ = bench::MarkNow();
            out1_ = bytes_out_;
            in1_ = bytes_in_;
        }
    }

    // The final wait is the one wait that sleeps on the port instead of the event loop.
    void PolledWithoutYield() {
        if (!finalWaitStart_.Set()) {
            finalWaitStart_ = bench::MarkNow();
            EndLineWait(finalWaitStart_);
        }
    }

    void BoxShown() {
        const bench::Mark now = bench::MarkNow();
        EndLineWait(now);
        if (finalWaitStart_.Set() && finalWait_.wall_us == 0) {
            finalWait_.Add(finalWaitStart_, now);
        }
    }

    void AddTo(bench::Report& report) const {
        report.Set("sends", double(sendCount_));
        if (firstSend_.Set() && finalReply_.Set()) {
            bench::Span transfer;
            transfer.Add(firstSend_, finalReply_);
            report.SetSpan("transfer", transfer);
            report.Set("bytes_out", double(out1_ - out0_));
            report.Set("bytes_in", double(in1_ - in0_));
        }
        if (timeline_) {
            report.SetLineTimes(lines_);
        }
        // The first ready request follows the restart announcement at once. (The
        // announcement itself may come before the port opens: it is then dropped and
        // the run waits for the next.)
        if (opened_.Set() && !readyRequests_.empty()) {
            bench::Span wait;
            wait.Add(opened_, readyRequests_[0]);
            report.SetSpan("restart_wait", wait);
        }
        if (readyRequests_.size() == 2) {
            bench::Span wait;
            wait.Add(readyRequests_[0], readyRequests_[1]);
            report.SetSpan("ready_wait", wait);
        }
        if (lineWaitCount_ > 0) {
            report.SetSpan("line_wait", lineWaits_);
            report.Set("line_waits", double(lineWaitCount_));
        }
        if (finalWait_.wall_us > 0) {
            report.SetSpan("final_wait", finalWait_);
        }
    }

private:
    void EndLineWait(const bench::Mark& now) {
        if (lineWaitStart_.Set() && now.wall_us - lineWaitStart_.wall_us > kLineWaitUs) {
            lineWaits_.Add(lineWaitStart_, now);
            ++lineWaitCount_;
        }
        lineWaitStart_ = bench::Mark();
    }

    const bool timeline_;
    const bool gaps_;
    const QString readyRequest_ = ProtocolTokens::Defaults().TokenReadyRequest;
    std::uint64_t bytes_out_ = 0;
    std::uint64_t bytes_in_ = 0;
    std::uint64_t out0_ = 0, in0_ = 0, out1_ = 0, in1_ = 0;
    std::uint64_t sendCount_ = 0;
    std::vector<bench::LineTimes> lines_;
    bench::Mark opened_, firstSend_, finalReply_, lineWaitStart_, finalWaitStart_;
    std::vector<bench::Mark> readyRequests_;
    bench::Span lineWaits_;
    int lineWaitCount_ = 0;
    bench::Span finalWait_;
};

// The window's serial control, passed through unchanged; the run log hears about opening,
// every send and every read.
class MeteredComm : public MSComm {
public:
    MeteredComm(std::unique_ptr<MSComm> inner, RunLog& log) : inner_(std::move(inner)), log_(log) {}

    int Handshaking() const override { return inner_->Handshaking(); }
    void Handshaking(int mode) override { inner_->Handshaking(mode); }
    QString Settings() const override { return inner_->Settings(); }
    void Settings(const QString& settings) override { inner_->Settings(settings); }
    qint16 CommPort() const override { return inner_->CommPort(); }
    void CommPort(qint16 port) override { inner_->CommPort(port); }
    bool PortOpen() const override { return inner_->PortOpen(); }
    void PortOpen(bool open) override {
        inner_->PortOpen(open);
        if (open) {
            log_.PortOpened();
        }
    }
    qint16 InBufferCount() override { return inner_->InBufferCount(); }
    QString Input() override {
        QString text = inner_->Input();
        log_.Received(text);
        return text;
    }
    void Output(const QString& text) override {
        log_.Sent(text);
        inner_->Output(text);
    }
    qint16 OutBufferCount() override { return inner_->OutBufferCount(); }
    QString DeviceName() const override { return inner_->DeviceName(); }
    int InBufferSize() const override { return inner_->InBufferSize(); }
    int OutBufferSize() const override { return inner_->OutBufferSize(); }
    QString ParityReplace() const override { return inner_->ParityReplace(); }
    void WaitForInput(int msecs) override {
        log_.PolledWithoutYield();
        inner_->WaitForInput(msecs);
    }

private:
    std::unique_ptr<MSComm> inner_;
    RunLog& log_;
};

}  // namespace

int RunWindowHost(int argc, char** argv) {
    QString device;
    QString file;
    bool lean = false;
    bool gaps = false;
    for (int i = 2; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--device") == 0 && i + 1 < argc) {
            device = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(a, "--file") == 0 && i + 1 < argc) {
            file = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(a, "--lean") == 0) {
            lean = true;
        } else if (std::strcmp(a, "--gaps") == 0) {
            gaps = true;
        } else {
            std::fprintf(stderr, "quorvel-bench window: unknown option %s\n", a);
            return 2;
        }
    }
    if (device.isEmpty() || file.isEmpty()) {
        std::fprintf(stderr,
                     "usage: quorvel-bench window --device PATH --file PATH [--lean] [--gaps]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qputenv("QUORVEL_COM1", device.toLocal8Bit());

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    RunLog log(!lean, gaps);
    Form1 form(std::make_unique<MeteredComm>(std::make_unique<SerialPortComm>(), log));
    form.MessageBox = [&log](QWidget*, const QString&, int style, const QString&, const QString&) {
        log.BoxShown();
        return (style & 0x0F) == YesNo ? MsgBoxResult::Yes : MsgBoxResult::Ok;
    };
    QTemporaryDir prefsDir;
    form.SetPrefsPath(prefsDir.filePath(QStringLiteral("prefs.txt")));
    form.Form_Load();
    form.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(file);
    form.findChild<QComboBox*>(QStringLiteral("Combo1"))->setCurrentIndex(0);
    form.show();

    // The press comes from inside the event loop, as a user's click would.
    bench::Mark pressed;
    bench::Mark ended;
    QTimer::singleShot(0, &form, [&] {
        pressed = bench::MarkNow();
        form.findChild<QPushButton*>(QStringLiteral("Command6"))->click();
        ended = bench::MarkNow();
        QCoreApplication::quit();
    });
    QApplication::exec();

    bench::Report report;
    report.Set("host", "window");
    report.Set("outcome", OutcomeName(form.Run().LastOutcome()));
    bench::Span run;
    run.Add(pressed, ended);
    report.SetSpan("run", run);
    log.AddTo(report);
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    report.Set("maxrss_kb", double(self.ru_maxrss));
    report.Print();
    return 0;
}
