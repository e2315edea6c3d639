#include "console_front.h"

#include "event_loop_yield.h"
#include "quorvel_version.h"

#include <QFile>
#include <QTextStream>

#include <unistd.h>

namespace {

int ExitStatusOf(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::Updated:
            return kExitUpdated;
        case RunOutcome::NoResponse:
            return kExitNoResponse;
        case RunOutcome::PortFailure:
            return kExitPortFailure;
        case RunOutcome::FileOpenFailure:
        case RunOutcome::PathRefused:
            return kExitFileFailure;
        case RunOutcome::Cancelled:
        case RunOutcome::WindowClosed:
            return kExitCancelled;
        case RunOutcome::Declined:
            return kExitAborted;
        case RunOutcome::None:
        case RunOutcome::UpdateFailed:
        case RunOutcome::NoFinalReply:
        case RunOutcome::DownloadFailure:
        case RunOutcome::ClosingFailure:
            break;
    }
    return kExitUpdateFailed;
}

}  // namespace

ConsoleFront::ConsoleFront(const CliOptions& options, std::unique_ptr<MSComm> comm, FILE* out,
                           FILE* err)
    : options_(options),
      out_(out),
      err_(err),
      terminal_(isatty(fileno(out)) != 0),
      comm_(std::move(comm)),
      run_(vars_, *this, *comm_, clock_) {
    vars_.Tokens = ProtocolTokens::Defaults();
    timer1_.setInterval(60);
    connect(&timer1_, &QTimer::timeout, this, [this] { run_.Timer1_Timer(); });
    timer3_.setInterval(1000);
    connect(&timer3_, &QTimer::timeout, this, [this] { run_.Timer3_Timer(); });
}

int ConsoleFront::Run() {
    timer1_.start();
    run_.Command6_Click();
    pacer_.stop();
    timer1_.stop();
    EndProgress();
    if (interrupted_ && run_.LastOutcome() == RunOutcome::Declined) {
        return kExitCancelled;
    }
    return ExitStatusOf(run_.LastOutcome());
}

void ConsoleFront::Interrupt() {
    interrupted_ = true;
}

void ConsoleFront::Print(FILE* stream, const QString& line) {
    EndProgress();
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void ConsoleFront::EndProgress() {
    if (progressOpen_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        progressOpen_ = false;
    }
}

void ConsoleFront::ShowProgress(qint16 remaining) {
    // Lines per second since the count was last shown: the transfer shows it at its start,
    // once a second, and at the end.
    double rate = 0.0;
    if (sinceCount_.isValid() && sinceCount_.elapsed() > 0 && remaining <= lastCount_) {
        rate = (lastCount_ - remaining) * 1000.0 / double(sinceCount_.elapsed());
    }
    lastCount_ = remaining;
    sinceCount_.start();
    const QString line =
        QStringLiteral("Lines remaining: %1 (%2 lines/s)").arg(remaining).arg(rate, 0, 'f', 0);
    if (terminal_) {
        std::fprintf(out_, "\r%s\033[K", line.toLocal8Bit().constData());
        std::fflush(out_);
        progressOpen_ = true;
    } else if (!sincePlainProgress_.isValid() || sincePlainProgress_.elapsed() >= 10000 ||
               remaining == 0) {
        // Into a file or a pipe, a line every ten seconds (and the last) is enough.
        sincePlainProgress_.start();
        Print(out_, line);
    }
}

QString ConsoleFront::Caption() const {
    return QStringLiteral("Quorvel - V %1.%2")
        .arg(QUORVEL_VERSION_MAJOR)
        .arg(QUORVEL_VERSION_MINOR);
}

void ConsoleFront::SetCaption(Control control, const QString& text) {
    switch (control) {
        case Control::Label2:
            // The busy state clears the line and the idle state ends on "Idle": neither is
            // news on a console.
            if (!text.isEmpty() && text != status_ && text != QLatin1String("Idle")) {
                status_ = text;
                Print(out_, text);
            }
            break;
        case Control::Label14:
            if (!text.isEmpty()) {
                ShowProgress(static_cast<qint16>(text.toInt()));
            }
            break;
        case Control::Label16:
        case Control::Label17:
        case Control::Label18:
            if (!text.isEmpty()) {
                Print(out_, text);
            }
            break;
        default:
            break;
    }
}

void ConsoleFront::SetEnabled(Control control, bool enabled) {
    if (control != Control::Timer3) {
        return;
    }
    if (enabled) {
        timer3_.start();
    } else {
        timer3_.stop();
    }
}

QString ConsoleFront::Text(Control control) const {
    return control == Control::Text1 ? options_.file : QString();
}

int ConsoleFront::ListIndex(Control control) const {
    if (control != Control::Combo1) {
        return -1;
    }
    // A device given by its path stands in for port 1 (QUORVEL_COM1 names it).
    return options_.device.isEmpty() ? options_.port - 1 : 0;
}

MsgBoxResult ConsoleFront::MsgBox(const QString& prompt, int style, const QString&,
                                  const QString& detail) {
    if ((style & 0x0F) != YesNo) {
        FILE* stream = (style & 0x70) == Exclamation ? err_ : out_;
        Print(stream, prompt);
        if (!detail.isEmpty()) {
            Print(stream, detail);
        }
        return MsgBoxResult::Ok;
    }
    // After Ctrl-C every question is answered by stopping.
    if (interrupted_) {
        Print(out_, prompt + QStringLiteral(" n (cancelled)"));
        return MsgBoxResult::No;
    }
    switch (options_.onError) {
        case CliOptions::OnError::Continue:
            Print(out_, prompt + QStringLiteral(" y (--on-error continue)"));
            return MsgBoxResult::Yes;
        case CliOptions::OnError::Abort:
            Print(out_, prompt + QStringLiteral(" n (--on-error abort)"));
            return MsgBoxResult::No;
        case CliOptions::OnError::Ask:
            break;
    }
    return Ask(prompt);
}

MsgBoxResult ConsoleFront::Ask(const QString& prompt) {
    EndProgress();
    QFile terminal(QStringLiteral("/dev/tty"));
    if (!terminal.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        Print(err_, prompt + QStringLiteral(" n (no terminal to ask)"));
        return MsgBoxResult::No;
    }
    for (;;) {
        terminal.write((prompt + QStringLiteral(" [y/n] ")).toLocal8Bit());
        char answer[64] = {};
        const qint64 got = terminal.readLine(answer, sizeof answer);
        if (got <= 0 || interrupted_) {
            terminal.write("\n");
            return MsgBoxResult::No;
        }
        const QString word = QString::fromLocal8Bit(answer).trimmed().toLower();
        if (word == QLatin1String("y") || word == QLatin1String("yes")) {
            return MsgBoxResult::Yes;
        }
        if (word == QLatin1String("n") || word == QLatin1String("no")) {
            return MsgBoxResult::No;
        }
    }
}

void ConsoleFront::DoEvents(YieldMode mode) {
    YieldToEventLoop(pacer_, mode);
    if (interrupted_ && !cancelSent_) {
        cancelSent_ = true;
        run_.Command4_Click();
    }
}
