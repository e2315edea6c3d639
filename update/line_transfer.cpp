#include "line_transfer.h"

#include "int16.h"
#include "run_context.h"

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
        : run_(run), tokens_(run.vars.Tokens), oldLoader_(run.LoaderVersion < kFirstResendingLoader) {}

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
    // Sends one data line and judges the replies. Returns false when the user chose to
    // stop.
    bool Exchange(const QString& line);
    void WaitForReply();
    void EndOfFile();

    RunContext& run_;
    // The tokens as they were when the transfer started; they serve to its end.
    const ProtocolTokens tokens_;
    const bool oldLoader_;
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
                run_.window.SetCaption(Control::Label18, QStringLiteral("Update firmware version: ") +
                                                             QString::fromLatin1(line));
                run_.window.SetVisible(Control::Label18, true);
                break;
            case LineKind::Data:
                if (!Exchange(QString::fromLatin1(line))) {
                    run_.outcome = RunOutcome::Declined;
                    return;
                }
                break;
        }
        run_.Yield();
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
            reply += run_.ReadPort();
            run_.Yield();
        }
    }
    const qint64 start = run_.clock.Seconds();
    while (!AnyToken(reply) && !vars.CancelRequested && run_.clock.Seconds() - start < kWaitSeconds) {
        reply += run_.ReadPort();
        run_.Yield();
    }
}

bool Transfer::Exchange(const QString& line) {
    FormVariables& vars = run_.vars;
    QString& reply = run_.ReplyBuffer;
    // The line's position among the data lines, for the prompts.
    const int n = int(vars.TotalLines) - int(vars.LinesRemaining) + 1;

    int sends = 0;
    while (sends < kMaxSends) {
        run_.comm.Output(line);
        // A reply to an earlier send of the line must not count for this one.
        reply = run_.ReadPort();
        WaitForReply();
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
        prompt = QStringLiteral("Error writing to flash at line %1. Continue with download?").arg(n);
    } else if (!Answered(reply) && !oldLoader_) {
        prompt = QStringLiteral("Did not receive a response after sending line %1. Continue with download?")
                     .arg(n);
    }
    if (!prompt.isEmpty()) {
        if (run_.Box(prompt, YesNo) == MsgBoxResult::No) {
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
        run_.Box(QStringLiteral("Error encountered while updating.  No response from Datalogger at end of file."),
                 OkOnly);
    }
}

}  // namespace

void FileStage(RunContext& run) {
    FormVariables& vars = run.vars;
    const QString path = run.window.Text(Control::Text1);
    run.region = FailureRegion::FileOpen;
    run.Status(QStringLiteral("Opening ") + path + QStringLiteral("."));
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
