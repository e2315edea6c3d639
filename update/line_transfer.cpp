#include "line_transfer.h"

#include "file_check.h"
#include "int16.h"
#include "run_context.h"

#include <deque>

namespace {

// Bootloaders older than this have no resend and answer within a few timer ticks. The
// comparison is made in single precision, so a loader that reports "1.28" is not old.
constexpr float kFirstResendingLoader = 1.28f;
// The old loaders' reply wait, in ticks of Timer1 (60 ms): at most about 300 ms.
constexpr qint16 kOldLoaderTicks = 5;
// The whole-second waits: more than 2 and at most 3 seconds.
constexpr qint64 kWaitSeconds = 3;
constexpr int kMaxSends = 3;
// How long the final wait sleeps on a quiet port before it looks at the clock again.
constexpr int kFinalWaitSliceMs = 10;

class Transfer {
public:
    explicit Transfer(RunContext& run)
        : run_(run),
          tokens_(run.vars.Tokens),
          oldLoader_(run.LoaderVersion < kFirstResendingLoader) {}

    void Run();

private:
    bool AnyToken(const QString& reply) const {
        return reply.contains(tokens_.TokenLineAck) || reply.contains(tokens_.TokenFlashError) ||
               reply.contains(tokens_.TokenUpdateEnd) || reply.contains(tokens_.TokenUpdateOk) ||
               reply.contains(tokens_.TokenChecksumError);
    }
    bool Answered(const QString& reply) const {
        return reply.contains(tokens_.TokenLineAck) || reply.contains(tokens_.TokenUpdateEnd) ||
               reply.contains(tokens_.TokenUpdateOk);
    }
    // Sends one data line and judges the replies. Returns false when the run ends before
    // the line is counted down: the user chose to stop, or cancelled while earlier sends
    // were still owed their answers.
    bool Exchange(const QString& line);
    void WaitForReply();
    void EndOfFile();

    // Before a line's first send: the answers still owed to earlier sends are waited for
    // and what has arrived is dropped, so that every answer the line gets is its own.
    bool Settle();
    // Asks whether to go on after a bad line; false, with the outcome set, when the run
    // stops: the answer was No, or Cancel came at once.
    bool Ask(const QString& prompt);
    // Whether the run stops here for a Cancel that is honoured at once; sets the outcome.
    bool CancelledNow();
    void DropOwedRecords();
    // Reads the port. Each answer token pays the oldest send still owed: answers to this
    // line's sends (and any other text) join reply, answers to an earlier line's sends are
    // kept for that line in lateAnswers_. Without reply everything read is dropped.
    void Read(QString* reply);
    qsizetype AnswerAt(const QString& text, qsizetype i) const;
    bool OwedWaitOver() const;
    void Owe(int line);

    RunContext& run_;
    // The tokens as they were when the transfer started; they serve to its end.
    const ProtocolTokens tokens_;
    const bool oldLoader_;

    // Sends still owed an answer, oldest first: the data line (its position) and the
    // clock's reading when it went out.
    struct Send {
        int line;
        qint64 at;
    };
    std::deque<Send> owed_;
    // The longest any answer took, from the send it paid, in whole seconds of the clock.
    qint64 longestDelay_ = 0;
    qint64 lastSendAt_ = 0;
    // The "@" of a successful end and the "#" behind it are one answer.
    bool afterUpdateOk_ = false;
    // The line being exchanged, and the one before it with what its late answers said.
    int line_ = 0;
    int previousLine_ = 0;
    bool previousFlashPrompted_ = false;
    QString lateAnswers_;
};

void Transfer::Run() {
    FormVariables& vars = run_.vars;
    run_.Status(QStringLiteral("Sending FLASH File - lines remaining "));
    run_.window.SetCaption(Control::Label14, QString::number(vars.LinesRemaining));
    run_.window.SetVisible(Control::Label14, true);
    // From here on only Timer3 shows the count, once a second: redrawing it for every
    // line would cost more than sending it.
    run_.window.SetEnabled(Control::Timer3, true);

    for (;;) {
        // The end of the file comes before Cancel, so a file that has ended always gets its
        // final wait and outcome.
        if (run_.file.AtEnd()) {
            EndOfFile();
            return;
        }
        if (vars.CancelRequested) {
            run_.outcome = RunOutcome::Cancelled;
            return;
        }
        const QByteArray line = run_.file.ReadLine();
        switch (KindOfLine(line)) {
            case LineKind::Empty:
                break;
            case LineKind::Version:
                run_.window.SetCaption(
                    Control::Label18,
                    QStringLiteral("Update firmware version: ") + QString::fromLatin1(line));
                run_.window.SetVisible(Control::Label18, true);
                break;
            case LineKind::Data:
                if (!Exchange(QString::fromLatin1(line))) {
                    return;
                }
                break;
        }
        // Not a wait on the port: an empty line or a version line after a silent data line
        // must not sleep for the next event.
        run_.YieldPoll();
    }
}

void Transfer::WaitForReply() {
    FormVariables& vars = run_.vars;
    QString& reply = run_.ReplyBuffer;
    if (oldLoader_) {
        vars.TickCount = 0;
        for (;;) {
            if (AnyToken(reply) || vars.CancelRequested || vars.TickCount >= kOldLoaderTicks) {
                return;
            }
            Read(&reply);
            run_.Yield();
        }
    }
    const qint64 start = run_.clock.Seconds();
    while (!AnyToken(reply) && !vars.CancelRequested &&
           run_.clock.Seconds() - start < kWaitSeconds) {
        Read(&reply);
        run_.Yield();
    }
}

qsizetype Transfer::AnswerAt(const QString& text, qsizetype i) const {
    for (const QString* token :
         {&tokens_.TokenLineAck, &tokens_.TokenChecksumError, &tokens_.TokenFlashError,
          &tokens_.TokenUpdateOk, &tokens_.TokenUpdateEnd}) {
        if (QStringView(text).mid(i).startsWith(*token)) {
            return token->size();
        }
    }
    return 0;
}

void Transfer::Read(QString* reply) {
    const QString text = run_.ReadPort();
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype length = AnswerAt(text, i);
        if (length == 0) {
            if (reply != nullptr) {
                reply->append(text[i]);
            }
            ++i;
            continue;
        }
        const QStringView token = QStringView(text).mid(i, length);
        const bool endBehindOk = afterUpdateOk_ && token == tokens_.TokenUpdateEnd;
        afterUpdateOk_ = token == tokens_.TokenUpdateOk;
        int paid = line_;
        if (!endBehindOk && !owed_.empty()) {
            paid = owed_.front().line;
            longestDelay_ = qMax(longestDelay_, run_.clock.Seconds() - owed_.front().at);
            owed_.pop_front();
        }
        run_.window.Note({TransferEvent::Kind::Answer, paid, 0, token.toString()});
        if (paid != line_) {
            lateAnswers_ += token;
        } else if (reply != nullptr) {
            reply->append(token);
        }
        i += length;
    }
}

void Transfer::Owe(int line) {
    lastSendAt_ = run_.clock.Seconds();
    owed_.push_back({line, lastSendAt_});
}

bool Transfer::OwedWaitOver() const {
    // At least one whole-second wait since the line's last send, and longer than any
    // answer has taken in this run: an answer later than that is taken for lost. Both
    // lengths are read off a whole-second clock, each up to a second off, so the wait
    // outlasts the longest delay by a second more.
    const qint64 waited = run_.clock.Seconds() - lastSendAt_;
    return waited >= kWaitSeconds && waited > longestDelay_ + 1;
}

void Transfer::DropOwedRecords() {
    // The version records the handshake's extra ready requests are owed; their text is no
    // answer to any line.
    const QString& ready = tokens_.TokenReadyReply;
    QString text;
    while (run_.OwedRecords > 0 && !run_.vars.CancelRequested &&
           run_.clock.Seconds() - run_.LastRequestAt < kWaitSeconds) {
        text += run_.ReadPort();
        if (text.contains(ready)) {
            --run_.OwedRecords;
            text = text.mid(text.indexOf(ready) + ready.size());
            continue;
        }
        run_.Yield();
    }
    run_.OwedRecords = 0;
}

bool Transfer::Settle() {
    if (line_ == 1) {
        DropOwedRecords();
    }
    // In the normal mode a line sent again after a silent wait leaves its earlier sends
    // owing answers; a bootloader answers in order, so the next line's first answer would
    // otherwise be an earlier send's. The old loaders never resend: their late answers are
    // judged with what has arrived.
    if (!oldLoader_) {
        while (!owed_.empty() && !run_.vars.CancelRequested && !OwedWaitOver()) {
            Read(nullptr);
            run_.Yield();
        }
        if (run_.vars.CancelRequested && !owed_.empty()) {
            run_.outcome = RunOutcome::Cancelled;
            return false;
        }
    }
    Read(nullptr);
    owed_.clear();
    afterUpdateOk_ = false;

    // A dropped answer never hides an error. An old loader's checksum or flash error that
    // came after its wait, and any flash error owed to a line sent again, get the earlier
    // line's prompt; an owed acceptance or checksum error of a line already judged changes
    // nothing.
    const QString late = lateAnswers_;
    lateAnswers_.clear();
    QString prompt;
    if (oldLoader_ && late.contains(tokens_.TokenChecksumError)) {
        prompt =
            QStringLiteral("Checksum error at line %1. Continue with download?").arg(previousLine_);
    } else if (late.contains(tokens_.TokenFlashError) && !previousFlashPrompted_) {
        prompt = QStringLiteral("Error writing to flash at line %1. Continue with download?")
                     .arg(previousLine_);
    }
    return prompt.isEmpty() || Ask(prompt);
}

bool Transfer::Ask(const QString& prompt) {
    if (!run_.CancelNow() && run_.Box(prompt, YesNo) == MsgBoxResult::Yes) {
        return true;
    }
    // Cancel during the question is no answer to it.
    run_.outcome = run_.CancelNow() ? RunOutcome::Cancelled : RunOutcome::Declined;
    return false;
}

bool Transfer::CancelledNow() {
    if (!run_.CancelNow()) {
        return false;
    }
    run_.outcome = RunOutcome::Cancelled;
    return true;
}

bool Transfer::Exchange(const QString& line) {
    FormVariables& vars = run_.vars;
    QString& reply = run_.ReplyBuffer;
    // The line's position among the data lines, for the prompts.
    const int n = int(vars.TotalLines) - int(vars.LinesRemaining) + 1;
    ++line_;
    if (!Settle() || CancelledNow()) {
        return false;
    }

    int sends = 0;
    while (sends < kMaxSends) {
        run_.comm.Output(line);
        Owe(line_);
        run_.window.Note({TransferEvent::Kind::Send, line_, sends + 1, QString()});
        // A reply to an earlier send of the line must not count for this one.
        reply.clear();
        Read(&reply);
        WaitForReply();
        if (CancelledNow()) {
            return false;
        }
        if (reply.contains(tokens_.TokenFlashError)) {
            // Writing the same line again would not make the flash take it.
            sends = kMaxSends;
        } else if (Answered(reply) || oldLoader_) {
            sends = kMaxSends;
        } else {
            ++sends;
        }
    }

    QString prompt;
    if (reply.contains(tokens_.TokenChecksumError)) {
        prompt = QStringLiteral("Checksum error at line %1. Continue with download?").arg(n);
    } else if (reply.contains(tokens_.TokenFlashError)) {
        prompt =
            QStringLiteral("Error writing to flash at line %1. Continue with download?").arg(n);
    } else if (!Answered(reply) && !oldLoader_) {
        prompt = QStringLiteral(
                     "Did not receive a response after sending line %1. Continue with download?")
                     .arg(n);
    }
    previousLine_ = n;
    previousFlashPrompted_ = prompt.startsWith(QLatin1String("Error writing"));
    if (!prompt.isEmpty()) {
        if (!Ask(prompt)) {
            return false;
        }
        reply.clear();
    }
    vars.LinesRemaining = AddChecked16(vars.LinesRemaining, -1);
    return true;
}

void Transfer::EndOfFile() {
    QString& reply = run_.ReplyBuffer;
    run_.window.SetCaption(Control::Label14, QStringLiteral("0"));
    run_.window.SetEnabled(Control::Timer3, false);

    // The bootloader's last word. This wait neither yields nor looks at Cancel; instead of
    // spinning it sleeps on the port, so a quiet line costs no processor time. The reply to
    // the last data line is still in the buffer and counts.
    const qint64 start = run_.clock.Seconds();
    while (run_.clock.Seconds() - start < kWaitSeconds && !reply.contains(tokens_.TokenUpdateEnd)) {
        const QString more = run_.comm.Input();
        if (more.isEmpty()) {
            run_.comm.WaitForInput(kFinalWaitSliceMs);
        }
        reply += more;
    }

    if (reply.contains(tokens_.TokenUpdateOk)) {
        run_.outcome = RunOutcome::Updated;
        run_.Box(QStringLiteral("Datalogger successfully updated."), OkOnly);
    } else if (reply.contains(tokens_.TokenUpdateEnd)) {
        run_.outcome = RunOutcome::UpdateFailed;
        run_.Box(QStringLiteral("Error encountered while updating."), OkOnly);
    } else {
        run_.outcome = RunOutcome::NoFinalReply;
        run_.Box(
            QStringLiteral(
                "Error encountered while updating.  No response from Datalogger at end of file."),
            OkOnly);
    }
}

}  // namespace

void FileStage(RunContext& run) {
    FormVariables& vars = run.vars;
    const QString path = run.window.Text(Control::Text1);
    run.region = FailureRegion::FileOpen;
    run.Status(QStringLiteral("Opening ") + path + QStringLiteral("."));
    // Checked before the port was opened; a file changed since, while the datalogger was
    // restarted, is checked again.
    CheckUpdateFile(path);
    run.file.Open(path);
    run.region = FailureRegion::Download;

    // The counting pass. The count is 16-bit: a file of more than 32,767 lines overflows
    // here, before anything is sent.
    vars.LinesRemaining = 0;
    while (!run.file.AtEnd()) {
        run.file.SkipLine();
        vars.LinesRemaining = AddChecked16(vars.LinesRemaining, 1);
    }
    vars.LinesRemaining = AddChecked16(vars.LinesRemaining, -1);
    vars.TotalLines = vars.LinesRemaining;
    run.file.Rewind();

    Transfer(run).Run();
}
