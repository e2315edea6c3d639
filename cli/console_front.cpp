#include "console_front.h"

#include "event_loop_yield.h"
#include "failure.h"
#include "file_check.h"
#include "file_report.h"
#include "port_names.h"
#include "quorvel_version.h"

#include <QDateTime>
#include <QJsonValue>
#include <QMap>

namespace {

// What the bootloader's answers are called: in the JSON, and for a person.
struct AnswerNames {
    const char* json;
    const char* words;
};
AnswerNames NamesOf(Answer answer) {
    switch (answer) {
        case Answer::LineAck:
            return {"accepted", "accepted"};
        case Answer::ChecksumError:
            return {"checksumError", "checksum error"};
        case Answer::FlashError:
            return {"flashError", "flash write error"};
        case Answer::UpdateOk:
            return {"updateOk", "update OK"};
        case Answer::UpdateEnd:
            break;
    }
    return {"updateEnd", "update ended"};
}
// Lines an update file may have: the line count is a 16-bit value.
constexpr qint64 kMostLines = 32767;
// How often the progress line is redrawn on a terminal.
constexpr int kProgressMs = 250;

int ExitStatusOf(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::Updated:
            return kExitUpdated;
        case RunOutcome::NoResponse:
        case RunOutcome::NoRestart:
            return kExitNoResponse;
        case RunOutcome::PortFailure:
            return kExitPortFailure;
        case RunOutcome::FileOpenFailure:
        case RunOutcome::FileRefused:
        case RunOutcome::PathRefused:
            return kExitFileFailure;
        case RunOutcome::Cancelled:
        case RunOutcome::WindowClosed:
            return kExitCancelled;
        case RunOutcome::Declined:
            return kExitAborted;
        case RunOutcome::Incomplete:
        case RunOutcome::Restarted:
            return kExitIncomplete;
        case RunOutcome::None:
        case RunOutcome::UpdateFailed:
        case RunOutcome::NoFinalReply:
        case RunOutcome::DownloadFailure:
        case RunOutcome::ClosingFailure:
            break;
    }
    return kExitUpdateFailed;
}

QString After(const QString& text, const QString& prefix) {
    return text.startsWith(prefix) ? text.mid(prefix.size()) : text;
}

QJsonValue OrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

}  // namespace

ConsoleFront::ConsoleFront(const CliOptions& options, const PortArgument& port, MSComm& comm,
                           Reporter& reporter)
    : options_(options),
      port_(port),
      device_(port.device.isEmpty() ? PortDeviceName(port.number) : port.device),
      reporter_(reporter),
      recording_(std::make_unique<RecordingComm>(comm, log_)),
      run_(vars_, *this, *recording_, clock_) {
    vars_.Tokens = ProtocolTokens::Defaults();
    run_.SetCancelMode(CancelMode::AtOnce);
    run_.SetRecordCheck(options.recordCheck);
    run_.SetRestartTimeout(options.restartTimeout);
    timer1_.setInterval(60);
    connect(&timer1_, &QTimer::timeout, this, [this] { run_.Timer1_Timer(); });
    timer3_.setInterval(kProgressMs);
    connect(&timer3_, &QTimer::timeout, this, [this] { ShowProgress(false); });
    for (Answer a : {Answer::LineAck, Answer::ChecksumError, Answer::FlashError, Answer::UpdateOk,
                     Answer::UpdateEnd}) {
        answers_[QLatin1String(NamesOf(a).json)] = 0;
    }
}

int ConsoleFront::Run() {
    started_.start();
    startTime_ = QDateTime::currentDateTimeUtc();
    if (port_.number > 0) {
        Status(device_.isEmpty()
                   ? QStringLiteral("COM port %1 has no device behind it.").arg(port_.number)
                   : QStringLiteral("COM port %1 is %2.").arg(port_.number).arg(device_));
    }
    if (!options_.log.isEmpty()) {
        QString reason;
        if (!log_.Open(options_.log, &reason)) {
            Problem(QStringLiteral("Cannot write the log file."));
            Problem(reason);
            reason_ = reason;
            outcomeText_ = QStringLiteral("Cannot write the log file.");
            return Finish(kExitUsage);
        }
        log_.Event(QStringLiteral("port"), port_.Text() + QStringLiteral(" is ") + device_);
        log_.Event(QStringLiteral("file"), options_.file);
    }
    if (!CheckFile()) {
        return Finish(kExitFileFailure);
    }
    QStringList ranges;
    for (const AddressRange& r : facts_.ranges) {
        ranges << RangeText(r);
    }
    log_.Event(QStringLiteral("file"), QStringLiteral("%1 bytes, SHA-256 %2, %3 records at %4")
                                           .arg(facts_.size)
                                           .arg(facts_.sha256)
                                           .arg(facts_.records)
                                           .arg(ranges.join(QStringLiteral(", "))));

    timer1_.start();
    run_.Command6_Click();
    timer1_.stop();
    timer3_.stop();

    const RunOutcome outcome = run_.LastOutcome();
    reason_ = run_.LastFailureReason();
    if (outcome == RunOutcome::Cancelled) {
        outcomeText_ = QStringLiteral("Cancelled.");
        reason_ = interruptedBy_.isEmpty()
                      ? QStringLiteral("the run was cancelled")
                      : QStringLiteral("%1: the run was interrupted by %2; nothing more was sent")
                            .arg(device_, interruptedBy_);
        Problem(outcomeText_);
        Problem(reason_);
    } else if (outcome == RunOutcome::Declined) {
        outcomeText_ =
            QStringLiteral("Update stopped after line %1: the datalogger's firmware is incomplete.")
                .arg(lastPromptLine_);
        reason_ = QStringLiteral("%1: the answer to the prompt about line %2 was no (%3)")
                      .arg(device_)
                      .arg(lastPromptLine_)
                      .arg(lastAnswerBy_);
        Problem(outcomeText_);
        Problem(reason_);
    }
    return Finish(ExitStatusOf(outcome));
}

int ConsoleFront::Finish(int status) {
    log_.Event(QStringLiteral("outcome"), QStringLiteral("%1 (exit status %2)").arg(outcomeText_).arg(status));
    log_.Close();
    QJsonObject result;
    result[QStringLiteral("startTime")] = startTime_.toString(Qt::ISODateWithMs);
    result[QStringLiteral("programVersion")] = QStringLiteral(QUORVEL_VERSION_TEXT);
    result[QStringLiteral("port")] = port_.Text();
    result[QStringLiteral("device")] = OrNull(device_);
    result[QStringLiteral("file")] = options_.file;
    result[QStringLiteral("loaderVersion")] = OrNull(loaderVersion_);
    result[QStringLiteral("oldFirmwareVersion")] = OrNull(oldFirmwareVersion_);
    result[QStringLiteral("updateFirmwareVersion")] = OrNull(updateFirmwareVersion_);
    const QJsonObject file = FileFactsJson(facts_);
    for (auto it = file.begin(); it != file.end(); ++it) {
        result[it.key()] = it.value();
    }
    result[QStringLiteral("dataLines")] = progress_.DataLines();
    result[QStringLiteral("linesSent")] = progress_.Sent();
    result[QStringLiteral("sends")] = sends_;
    result[QStringLiteral("resends")] = resends_;
    result[QStringLiteral("answers")] = answers_;
    result[QStringLiteral("prompts")] = prompts_;
    // The program's own books: what keeps an update that the bootloader called a success
    // from being one.
    const AnswerLedger& ledger = run_.LastLedger();
    QJsonArray notAccepted;
    for (const LineNotAccepted& l : ledger.NotAccepted(progress_.Sent())) {
        notAccepted.append(QJsonObject{{QStringLiteral("line"), l.line},
                                       {QStringLiteral("why"), WhyName(l.why)}});
    }
    result[QStringLiteral("linesNotAccepted")] = notAccepted;
    result[QStringLiteral("linesAccepted")] = progress_.Sent() - int(notAccepted.size());
    result[QStringLiteral("outOfStep")] = ledger.OutOfStep();
    result[QStringLiteral("restartedAtLine")] =
        ledger.RestartedAt() != 0 ? QJsonValue(ledger.RestartedAt()) : QJsonValue();
    result[QStringLiteral("durationSeconds")] = double(started_.elapsed()) / 1000.0;
    result[QStringLiteral("outcome")] = outcomeText_;
    result[QStringLiteral("reason")] = OrNull(reason_);
    result[QStringLiteral("exitStatus")] = status;
    reporter_.Result(result);
    return status;
}

bool ConsoleFront::CheckFile() {
    // The run's own check, with the line count's limit besides: a file it would refuse, or
    // one whose count overflows, is found out before anyone restarts the datalogger.
    try {
        facts_ = CheckUpdateFile(options_.file);
        if (facts_.lines > kMostLines) {
            reason_ = options_.file +
                      QStringLiteral(": more than 32,767 lines; an update file holds at most 32,767");
        } else if (options_.recordCheck && !facts_.faults.isEmpty()) {
            // Nobody is asked on a bench: a damaged record refuses the file unless the user
            // said beforehand to send it all the same.
            reason_ = FaultSummary(facts_) + QStringLiteral(" Use --no-record-check to send it anyway.");
        }
        progress_ = Progress(facts_.dataLines);
    } catch (const Failure& failure) {
        reason_ = failure.reason();
    }
    if (!reason_.isEmpty()) {
        outcomeText_ = QStringLiteral("Error opening ") + options_.file + QLatin1Char('.');
        Problem(outcomeText_);
        Problem(reason_);
        return false;
    }
    return true;
}

void ConsoleFront::Interrupt(const QString& by) {
    interrupted_ = true;
    if (interruptedBy_.isEmpty()) {
        interruptedBy_ = by == QLatin1String("SIGINT") ? QStringLiteral("SIGINT (Ctrl-C)")
                         : by == QLatin1String("SIGHUP") ? QStringLiteral("SIGHUP (the terminal went away)")
                                                         : by;
    }
    if (run_.Running() && !vars_.CancelRequested) {
        run_.Command4_Click();
    }
    question_.Interrupt();
}

void ConsoleFront::Remark(const QString& text) {
    if (options_.verbosity == CliOptions::Verbosity::Verbose) {
        reporter_.Say(Reporter::Kind::Event, text);
    }
    log_.Event(QStringLiteral("event"), text);
}

void ConsoleFront::Status(const QString& text) {
    reporter_.Say(Reporter::Kind::Status, text);
    log_.Event(QStringLiteral("status"), text);
}

void ConsoleFront::Problem(const QString& text) {
    reporter_.Say(Reporter::Kind::Problem, text);
    log_.Event(QStringLiteral("problem"), text);
}

void ConsoleFront::ShowProgress(bool last) {
    const qint64 now = started_.elapsed();
    ProgressFigures figures;
    figures.linesRemaining = vars_.LinesRemaining;
    figures.percent = progress_.Percent();
    figures.rate = progress_.Rate(now);
    figures.secondsLeft = last ? 0 : progress_.SecondsLeft(now);
    figures.held = held_ && !last;
    reporter_.ShowProgress(figures, last);
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
                Status(text);
            }
            break;
        case Control::Label14:
            // The count at the start of the transfer, and 0 at its end.
            if (text == QLatin1String("0")) {
                ShowProgress(true);
            }
            break;
        case Control::Label16:
            ShowVersion(text, QStringLiteral("Loader version: "), &loaderVersion_);
            break;
        case Control::Label17:
            ShowVersion(text, QStringLiteral("Old firmware version: "), &oldFirmwareVersion_);
            break;
        case Control::Label18:
            ShowVersion(text, QStringLiteral("Update firmware version: "), &updateFirmwareVersion_);
            break;
        default:
            break;
    }
}

void ConsoleFront::ShowVersion(const QString& text, const QString& prefix, QString* version) {
    // The run clears the version lines before it fills them: only a filled one is news.
    *version = After(text, prefix);
    if (!text.isEmpty()) {
        Status(text);
    }
}

void ConsoleFront::SetEnabled(Control control, bool enabled) {
    // Timer3 runs while lines are being sent: here it redraws the progress line.
    if (control != Control::Timer3) {
        return;
    }
    if (enabled) {
        ShowProgress(false);
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
    // A device given by its path is pinned in the serial control, whatever the number.
    return port_.device.isEmpty() ? port_.number - 1 : 0;
}

void ConsoleFront::Tell(const QString& text, int, const OutcomeFacts& facts) {
    outcomeText_ = text;
    if (facts.outcome == RunOutcome::Updated) {
        reporter_.Say(Reporter::Kind::Outcome, text);
        log_.Event(QStringLiteral("status"), text);
        return;
    }
    Problem(text);
    for (const QString& line : facts.reason.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        Problem(line);
    }
}

MsgBoxResult ConsoleFront::Ask(const QString& prompt, int, const PromptFacts& facts) {
    lastPromptLine_ = facts.line;
    // A file whose records are not sound reaches the run only when the user said to send it
    // all the same (its own check refuses it otherwise); a bench never asks about that.
    if (facts.kind == PromptFacts::Kind::UnsoundRecords) {
        return options_.recordCheck ? MsgBoxResult::No : MsgBoxResult::Yes;
    }
    switch (options_.onError) {
        case CliOptions::OnError::Continue:
            Answered(prompt, true, QStringLiteral("--on-error continue"));
            return MsgBoxResult::Yes;
        case CliOptions::OnError::Abort:
            Answered(prompt, false, QStringLiteral("--on-error abort"));
            return MsgBoxResult::No;
        case CliOptions::OnError::Ask:
            break;
    }
    // The question has the terminal to itself: the progress line waits until it is answered.
    const bool redrawing = timer3_.isActive();
    timer3_.stop();
    progress_.PauseBegin(started_.elapsed());
    const MsgBoxResult answer = AskTerminal(prompt);
    progress_.PauseEnd(started_.elapsed());
    if (redrawing) {
        timer3_.start();
    }
    return answer;
}

MsgBoxResult ConsoleFront::AskTerminal(const QString& prompt) {
    reporter_.EndProgress();
    for (;;) {
        QString answer;
        switch (question_.Ask(prompt + QStringLiteral(" [y/n] "), &answer)) {
            case TerminalQuestion::Result::Answered:
                break;
            case TerminalQuestion::Result::Interrupted:
                log_.Event(QStringLiteral("prompt"), prompt + QStringLiteral(" (interrupted)"));
                return MsgBoxResult::No;
            case TerminalQuestion::Result::NoTerminal:
                Answered(prompt, false, QStringLiteral("no terminal to ask"));
                return MsgBoxResult::No;
            case TerminalQuestion::Result::Closed:
                Answered(prompt, false, QStringLiteral("end of input"));
                return MsgBoxResult::No;
        }
        const QString word = answer.trimmed().toLower();
        if (word == QLatin1String("y") || word == QLatin1String("yes")) {
            Answered(prompt, true, QStringLiteral("terminal"));
            return MsgBoxResult::Yes;
        }
        if (word == QLatin1String("n") || word == QLatin1String("no")) {
            Answered(prompt, false, QStringLiteral("terminal"));
            return MsgBoxResult::No;
        }
    }
}

void ConsoleFront::Answered(const QString& prompt, bool yes, const QString& by) {
    QJsonObject item;
    item[QStringLiteral("line")] = lastPromptLine_;
    item[QStringLiteral("prompt")] = prompt;
    item[QStringLiteral("answer")] = yes ? QStringLiteral("yes") : QStringLiteral("no");
    item[QStringLiteral("by")] = by;
    prompts_.append(item);
    lastAnswerBy_ = by;
    const QString text = prompt + (yes ? QStringLiteral(" y (") : QStringLiteral(" n (")) + by +
                         QLatin1Char(')');
    if (by == QLatin1String("terminal")) {
        // The question and its answer are on the terminal already.
        log_.Event(QStringLiteral("prompt"), text);
    } else {
        Problem(text);
    }
}

void ConsoleFront::DoEvents(YieldMode mode) {
    YieldToEventLoop(pacer_, mode);
    // An interrupt that came before the busy state cleared the flag still counts.
    if (interrupted_ && !vars_.CancelRequested) {
        run_.Command4_Click();
    }
}

void ConsoleFront::Note(const TransferEvent& event) {
    // Called for every line: the text is made only when someone reads it.
    const bool told = options_.verbosity == CliOptions::Verbosity::Verbose || log_.IsOpen();
    QString text;
    switch (event.kind) {
        case TransferEvent::Kind::Send:
            ++sends_;
            if (event.send > 1) {
                ++resends_;
            }
            progress_.LineSent(event.line, started_.elapsed());
            if (!told) {
                return;
            }
            text = event.send == 1 ? QStringLiteral("line %1: sent").arg(event.line)
                                   : QStringLiteral("line %1: sent again (send %2)")
                                         .arg(event.line)
                                         .arg(event.send);
            break;
        case TransferEvent::Kind::Answer: {
            const AnswerNames names = NamesOf(event.answer);
            const QString name = QLatin1String(names.json);
            answers_[name] = answers_[name].toInt() + 1;
            if (!told) {
                return;
            }
            const QString words = QLatin1String(names.words);
            text = event.line == 0
                       ? QStringLiteral("answer %1 (%2) with no send owed").arg(event.token, words)
                       : QStringLiteral("line %1: answer %2 (%3)").arg(event.line).arg(event.token, words);
            break;
        }
        case TransferEvent::Kind::Held:
        case TransferEvent::Kind::Released:
            held_ = event.kind == TransferEvent::Kind::Held;
            if (timer3_.isActive()) {
                ShowProgress(false);
            }
            text = held_ ? QStringLiteral("line %1: held by the datalogger (XOFF)").arg(event.line)
                         : QStringLiteral("line %1: released by the datalogger (XON)").arg(event.line);
            break;
    }
    Remark(text);
}
