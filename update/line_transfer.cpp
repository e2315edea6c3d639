#include "line_transfer.h"

#include "int16.h"
#include "run_context.h"
#include "visible_bytes.h"

#include <utility>
#include <vector>

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
// How long the run sleeps on the port alone after a send before its reply wait yields to
// the event loop: a bootloader that answers at once is heard within that time.
constexpr int kAnswerGlanceMs = 2;

class Transfer {
public:
    explicit Transfer(RunContext& run)
        : run_(run),
          ledger_(run.ledger),
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
    // the line is counted down: the user chose to stop, or the run was stopped (Cancel while
    // earlier sends were still owed their answers, Cancel at once, a restart).
    bool Exchange(const QString& line);
    void WaitForReply();
    void EndOfFile();

    // Before a line's first send: the answers still owed to earlier sends are waited for
    // and what has arrived is dropped, so that every answer the line gets is its own; an
    // error among them that came too late for its own line's prompt gets one now.
    bool Settle();
    // Asks whether to go on after a bad line; false when the run ends there: the answer was
    // No (the outcome is set here), or the run was stopped meanwhile.
    bool Ask(const QString& prompt, int line, NotAcceptedWhy why);
    // Whether a wait ends for the run's sake: the run stops before its next send, or now.
    bool Stopping() const { return run_.StopBeforeNextSend() || run_.StopNow(); }
    void DropOwedRecords();
    // Reads the port; false when nothing came. Each answer token pays the oldest send still
    // owed: answers to this line's sends (and any other text) join reply, but for a checksum
    // error of a send already repeated; answers to an earlier line's sends are kept in late_
    // for Settle; "@" and "#" join reply whichever send they paid. A restart token ends the
    // transfer.
    bool Read(QString& reply) { return Take(&reply); }
    // The same, keeping none of the text: the answers are booked all the same.
    void Drop() { Take(nullptr); }
    bool Take(QString* reply);
    qsizetype AnswerAt(const QString& text, qsizetype i, Answer* answer) const;
    bool OwedWaitOver();
    // Called once a wait has run out, and at every poll while a hold lasts: whether the
    // wait must go on because bytes of the program's own have not left yet (the datalogger
    // holds them with XOFF) or have left only now. Nothing is asked of the port for a line
    // answered in time.
    bool HeldBack();

    RunContext& run_;
    AnswerLedger& ledger_;
    // The tokens as they were when the transfer started; they serve to its end.
    const ProtocolTokens tokens_;
    const bool oldLoader_;

    // The longest any answer took from the send it paid, in whole seconds of the clock,
    // counting only answers the bootloader alone kept waiting.
    qint64 longestDelay_ = 0;
    // When the latest send went out, or, when it was held back, when it left.
    qint64 lastSendAt_ = 0;
    // The data line being exchanged (its position among the data lines).
    int line_ = 0;
    bool holding_ = false;
    struct LateAnswer {
        int line;
        Answer answer;
    };
    std::vector<LateAnswer> late_;
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
            break;
        }
        if (run_.StopBeforeNextSend()) {
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

bool Transfer::HeldBack() {
    const bool was = holding_;
    holding_ = run_.comm.OutBufferCount() > 0;
    if (holding_ && !was) {
        // A hold is the datalogger's doing, not the time it takes to answer.
        ledger_.Untime();
        run_.window.Note({TransferEvent::Kind::Held, line_, 0, QString()});
    } else if (was && !holding_) {
        run_.window.Note({TransferEvent::Kind::Released, line_, 0, QString()});
    }
    if (!holding_ && !was) {
        return false;
    }
    // The bytes leave now or later: every wait for their answer counts from then.
    lastSendAt_ = run_.clock.Seconds();
    return true;
}

void Transfer::WaitForReply() {
    FormVariables& vars = run_.vars;
    QString& reply = run_.ReplyBuffer;
    if (oldLoader_) {
        vars.TickCount = 0;
        for (;;) {
            if (AnyToken(reply) || Stopping()) {
                return;
            }
            const bool up = vars.TickCount >= kOldLoaderTicks;
            if ((up || holding_) && HeldBack()) {
                vars.TickCount = 0;
            } else if (up) {
                return;
            }
            Read(reply);
            run_.Yield();
        }
    }
    qint64 start = run_.clock.Seconds();
    for (;;) {
        if (AnyToken(reply) || Stopping()) {
            return;
        }
        const bool up = run_.clock.Seconds() - start >= kWaitSeconds;
        if ((up || holding_) && HeldBack()) {
            start = lastSendAt_;
        } else if (up) {
            return;
        }
        Read(reply);
        run_.Yield();
    }
}

qsizetype Transfer::AnswerAt(const QString& text, qsizetype i, Answer* answer) const {
    const QStringView rest = QStringView(text).mid(i);
    const std::pair<const QString*, Answer> kinds[] = {
        {&tokens_.TokenLineAck, Answer::LineAck},
        {&tokens_.TokenChecksumError, Answer::ChecksumError},
        {&tokens_.TokenFlashError, Answer::FlashError},
        {&tokens_.TokenUpdateOk, Answer::UpdateOk},
        {&tokens_.TokenUpdateEnd, Answer::UpdateEnd},
    };
    for (const auto& [token, kind] : kinds) {
        if (rest.startsWith(*token)) {
            *answer = kind;
            return token->size();
        }
    }
    return 0;
}

bool Transfer::Take(QString* reply) {
    const QString text = run_.ReadPort();
    for (qsizetype i = 0; i < text.size();) {
        // A bootloader that announces its start has lost the session: this is no answer
        // to be judged, and no noise to be skipped.
        if (QStringView(text).mid(i).startsWith(tokens_.TokenRestart)) {
            ledger_.Restarted(line_);
            if (ledger_.RestartedAt() != 0) {
                return true;
            }
            i += tokens_.TokenRestart.size();
            continue;
        }
        Answer answer = Answer::LineAck;
        const qsizetype length = AnswerAt(text, i, &answer);
        if (length == 0) {
            if (reply != nullptr) {
                reply->append(text[i]);
            }
            ++i;
            continue;
        }
        const QStringView token = QStringView(text).mid(i, length);
        const AnswerLedger::Paid paid = ledger_.Answered(answer);
        if (paid.line != 0 && paid.timed) {
            longestDelay_ = qMax(longestDelay_, run_.clock.Seconds() - paid.sentAt);
        }
        run_.window.Note({TransferEvent::Kind::Answer, paid.line, 0, token.toString(), answer});
        if (paid.line != 0 && paid.line != line_) {
            late_.push_back({paid.line, answer});
        }
        // "@" and "#" speak of the whole update, whichever send they paid. A checksum error
        // of a send the line has been sent again after is no word on the resend.
        const bool final = answer == Answer::UpdateOk || answer == Answer::UpdateEnd;
        const bool stale = answer == Answer::ChecksumError && paid.line != 0 && !paid.latest;
        if (reply != nullptr && !stale && (final || paid.line == 0 || paid.line == line_)) {
            reply->append(token);
        }
        i += length;
    }
    return !text.isEmpty();
}

bool Transfer::OwedWaitOver() {
    // At least one whole-second wait since the line's last send, and longer than any
    // answer has taken in this run: an answer later than that is taken for lost. Both
    // lengths are read off a whole-second clock, each up to a second off, so the wait
    // outlasts the longest delay by a second more.
    const qint64 waited = run_.clock.Seconds() - lastSendAt_;
    const bool up = waited >= kWaitSeconds && waited > longestDelay_ + 1;
    if ((up || holding_) && HeldBack()) {
        return false;
    }
    return up;
}

void Transfer::DropOwedRecords() {
    // The version records the handshake's extra ready requests are owed; their text is no
    // answer to any line.
    const QString& ready = tokens_.TokenReadyReply;
    QString text;
    while (ledger_.OwedRecords() > 0 && !Stopping() &&
           run_.clock.Seconds() - ledger_.LastRequestAt() < kWaitSeconds) {
        text += run_.ReadPort();
        if (text.contains(ready)) {
            ledger_.RecordArrived();
            text = text.mid(text.indexOf(ready) + ready.size());
            continue;
        }
        run_.Yield();
    }
    ledger_.DropRecords();
}

bool Transfer::Settle() {
    // A Cancel while the handshake's records are still owed ends the run there: not a line
    // has gone out yet.
    if (line_ == 1) {
        DropOwedRecords();
        if (Stopping()) {
            return false;
        }
    }
    // In the normal mode a line sent again after a silent wait leaves its earlier sends
    // owing answers; a bootloader answers in order, so the next line's first answer would
    // otherwise be an earlier send's. The old loaders never resend and get no such wait:
    // their late answers pay their own sends, in order, whenever they come.
    if (!oldLoader_) {
        while (ledger_.Owes() && !Stopping() && !OwedWaitOver()) {
            Drop();
            run_.Yield();
        }
        if (Stopping() && ledger_.Owes()) {
            return false;
        }
    }
    Drop();
    if (run_.StopNow()) {
        return false;
    }
    if (!oldLoader_) {
        ledger_.WriteOff();
    }

    // A dropped answer never hides an error. An old loader's checksum error that came after
    // its wait, and any flash error that came after its line was judged, get their line's
    // prompt now; an acceptance or a checksum error owed to a line sent again changes
    // nothing.
    std::vector<LateAnswer> late;
    late.swap(late_);
    for (const LateAnswer& a : late) {
        if (a.answer == Answer::ChecksumError && oldLoader_) {
            if (!Ask(QStringLiteral("Checksum error at line %1. Continue with download?").arg(a.line),
                     a.line, NotAcceptedWhy::ChecksumError)) {
                return false;
            }
        } else if (a.answer == Answer::FlashError && !ledger_.WentOnAfterFlashError(a.line)) {
            if (!Ask(QStringLiteral("Error writing to flash at line %1. Continue with download?")
                         .arg(a.line),
                     a.line, NotAcceptedWhy::FlashError)) {
                return false;
            }
        }
    }
    return true;
}

bool Transfer::Ask(const QString& prompt, int line, NotAcceptedWhy why) {
    // Whoever reads the question keeps the bootloader's answers waiting meanwhile.
    ledger_.Untime();
    const PromptFacts::Kind kind = why == NotAcceptedWhy::ChecksumError ? PromptFacts::Kind::ChecksumError
                                   : why == NotAcceptedWhy::FlashError  ? PromptFacts::Kind::FlashError
                                                                        : PromptFacts::Kind::NoResponse;
    if (!run_.StopNow() && run_.Ask(prompt, YesNo, {kind, line}) == MsgBoxResult::Yes) {
        ledger_.WentOn(line, why);
        return true;
    }
    // A stop during the question is no answer to it.
    if (!run_.StopNow()) {
        run_.outcome = RunOutcome::Declined;
    }
    return false;
}

bool Transfer::Exchange(const QString& line) {
    FormVariables& vars = run_.vars;
    QString& reply = run_.ReplyBuffer;
    // The line's position among the data lines, for the prompts.
    const int n = int(vars.TotalLines) - int(vars.LinesRemaining) + 1;
    ++line_;
    if (!Settle() || run_.StopNow()) {
        return false;
    }

    int sends = 0;
    while (sends < kMaxSends) {
        // A copy of the line still held back by XOFF would only queue behind itself and
        // reach the bootloader twice; only a resend cut short by Cancel can find one.
        if (sends == 0 || run_.comm.OutBufferCount() == 0) {
            run_.comm.Output(line);
            lastSendAt_ = run_.clock.Seconds();
            ledger_.Sent(line_, lastSendAt_);
            run_.window.Note({TransferEvent::Kind::Send, line_, sends + 1, QString()});
        }
        // A reply to an earlier send of the line must not count for this one.
        reply.clear();
        // A bootloader answers a line moments after its last byte. Sleeping on the port alone
        // for that long hears such an answer with one poll instead of a pass over the event
        // loop, which costs more than everything else the line needs; a click waits at most
        // that long to be seen.
        if (!Read(reply)) {
            run_.comm.WaitForInput(kAnswerGlanceMs);
        }
        WaitForReply();
        if (run_.StopNow()) {
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
    NotAcceptedWhy why = NotAcceptedWhy::NoResponse;
    if (reply.contains(tokens_.TokenChecksumError)) {
        prompt = QStringLiteral("Checksum error at line %1. Continue with download?").arg(n);
        why = NotAcceptedWhy::ChecksumError;
    } else if (reply.contains(tokens_.TokenFlashError)) {
        prompt =
            QStringLiteral("Error writing to flash at line %1. Continue with download?").arg(n);
        why = NotAcceptedWhy::FlashError;
    } else if (!Answered(reply) && !oldLoader_) {
        prompt = QStringLiteral(
                     "Did not receive a response after sending line %1. Continue with download?")
                     .arg(n);
    }
    if (!prompt.isEmpty()) {
        if (!Ask(prompt, line_, why)) {
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
    // the last data line is still in the buffer and counts; late answers to the last lines
    // pay their sends here too.
    const qint64 start = run_.clock.Seconds();
    while (run_.clock.Seconds() - start < kWaitSeconds &&
           !reply.contains(tokens_.TokenUpdateEnd) && ledger_.RestartedAt() == 0) {
        if (!Read(reply)) {
            run_.comm.WaitForInput(kFinalWaitSliceMs);
        }
    }
    if (ledger_.RestartedAt() != 0) {
        return;
    }

    // "Successfully updated" is the program's own finding, not the bootloader's word alone:
    // a bootloader that cannot see a missing record says "@" over a hole.
    QStringList reasons = IncompleteReasons(ledger_, line_);
    const QString device = run_.comm.DeviceName() + QStringLiteral(": ");
    if (!reply.contains(tokens_.TokenUpdateOk) && reply.contains(tokens_.TokenUpdateEnd)) {
        reasons.prepend(device + QStringLiteral("the bootloader's final reply held \"%1\" without "
                                                "\"%2\": it failed the update.")
                                     .arg(tokens_.TokenUpdateEnd, tokens_.TokenUpdateOk));
    } else if (!reply.contains(tokens_.TokenUpdateOk)) {
        reasons.prepend(device + (reply.isEmpty()
                                      ? QStringLiteral("nothing came within 3 seconds of the last "
                                                       "line's answer.")
                                      : QStringLiteral("no \"%1\" came within 3 seconds of the last "
                                                       "line; the reply held \"%2\".")
                                            .arg(tokens_.TokenUpdateEnd, VisibleBytes(reply.right(40)))));
    }
    const QString why = reasons.join(QLatin1Char('\n'));
    if (reply.contains(tokens_.TokenUpdateOk) && ledger_.Whole(line_)) {
        run_.End(RunOutcome::Updated, QStringLiteral("Datalogger successfully updated."), OkOnly);
    } else if (reply.contains(tokens_.TokenUpdateOk)) {
        run_.End(RunOutcome::Incomplete, QStringLiteral("The datalogger's firmware is incomplete."),
                 OkOnly + Exclamation, why);
    } else if (reply.contains(tokens_.TokenUpdateEnd)) {
        run_.End(RunOutcome::UpdateFailed, QStringLiteral("Error encountered while updating."),
                 OkOnly, why);
    } else {
        run_.End(RunOutcome::NoFinalReply,
                 QStringLiteral("Error encountered while updating.  No response from Datalogger "
                                "at end of file."),
                 OkOnly, why);
    }
}

}  // namespace

void TransferLines(RunContext& run) {
    Transfer(run).Run();
}
