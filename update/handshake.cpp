#include "handshake.h"

#include "run_context.h"
#include "version_record.h"
#include "visible_bytes.h"

HandshakeResult Handshake(RunContext& run) {
    const ProtocolTokens& tokens = run.vars.Tokens;

    // Whatever arrived before this point (line noise while the port opened, the tail of an
    // earlier session) must not count as the restart.
    run.ReadPort();
    run.ReplyBuffer.clear();
    run.Status(QStringLiteral("Waiting for Datalogger to Restart..."));
    // No time-out: the user restarts the datalogger by hand, which takes as long as it
    // takes; only the restart token or Cancel ends the wait.
    // A datalogger may chatter for as long as it runs its application; of what it says only
    // the tail that could hold the start of a straddling restart token is kept, so memory
    // stays flat and no text is scanned twice.
    const qsizetype keep = tokens.TokenRestart.size() - 1;
    const qint64 waitingSince = run.clock.Seconds();
    const auto timedOut = [&] {
        return run.restartTimeout > 0 && run.clock.Seconds() - waitingSince >= run.restartTimeout;
    };
    while (!run.ReplyBuffer.contains(tokens.TokenRestart)) {
        while (run.WaitingInput() == 0) {
            if (run.StopBeforeNextSend()) {
                return HandshakeResult::Stopped;
            }
            if (timedOut()) {
                return HandshakeResult::NoRestart;
            }
            run.Yield();
        }
        if (timedOut()) {
            return HandshakeResult::NoRestart;
        }
        run.ReplyBuffer = run.ReplyBuffer.right(keep) + run.ReadPort();
    }

    // The restart announcement and whatever came with it is dropped.
    qint16 tries = 0;
    qint64 start = 0;
    run.ReplyBuffer.clear();
    while (!run.ReplyBuffer.contains(tokens.TokenReadyReply) && tries < 3) {
        if (run.StopBeforeNextSend()) {
            return HandshakeResult::Stopped;
        }
        run.Status(QStringLiteral("Requesting Datalogger Ready.  Try #") +
                   QString::number(tries + 1));
        run.ReplyBuffer += run.ReadPort();
        run.comm.Output(tokens.TokenReadyRequest);
        // A try ends as soon as anything is waiting, so a quick answer costs only the
        // polling delay; a silent bootloader costs 2 to 3 seconds a try.
        start = run.clock.Seconds();
        while (run.clock.Seconds() - start < 3 && run.WaitingInput() == 0) {
            if (run.StopBeforeNextSend()) {
                return HandshakeResult::Stopped;
            }
            run.Yield();
        }
        if (run.WaitingInput() > 0) {
            run.ReplyBuffer += run.ReadPort();
        }
        ++tries;
        run.Yield();
    }
    if (!run.ReplyBuffer.contains(tokens.TokenReadyReply)) {
        // A datalogger that answered without its ready mark is no silent one.
        run.reason = run.comm.DeviceName() + QStringLiteral(": ") +
                     (run.ReplyBuffer.isEmpty()
                          ? QStringLiteral("no answer to %1 ready requests (\"%2\")")
                                .arg(tries)
                                .arg(tokens.TokenReadyRequest)
                          : QStringLiteral("the datalogger answered, but its version record has "
                                           "no ready mark ('%1'): received %2")
                                .arg(tokens.TokenReadyReply, VisibleBytes(run.ReplyBuffer.left(80))));
        return HandshakeResult::NoResponse;
    }
    // Each ready request owes a version record. When a record came in pieces, the next try
    // went out before its end arrived, and the bootloader answers that request too; the
    // transfer waits for such records before its first line, so that their text (a firmware
    // version holding a "-", say) is not taken for the answer to a line.
    run.ledger.OweRecords(tries - int(run.ReplyBuffer.count(tokens.TokenReadyReply)), start);

    const VersionRecord record = CutVersionRecord(run.ReplyBuffer);
    run.LoaderVersion = record.LoaderVersion;
    run.OldFirmwareVersion = record.OldFirmwareVersion;
    run.ReplyBuffer = record.Rest;

    run.window.SetCaption(Control::Label16,
                          QStringLiteral("Loader version: ") + FormatSingle(run.LoaderVersion));
    run.window.SetVisible(Control::Label16, true);
    run.window.SetCaption(Control::Label17,
                          QStringLiteral("Old firmware version: ") + run.OldFirmwareVersion);
    run.window.SetVisible(Control::Label17, true);
    run.window.SetCaption(Control::Label18, QString());
    run.window.SetVisible(Control::Label18, true);
    return HandshakeResult::Ready;
}
