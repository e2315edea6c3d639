#pragma once

// A bootloader played from a script on a FakeComm: it announces its restart, answers ready
// requests with a version record, and answers each send of a data line from a table. All
// timing is virtual.

#include "fakes.h"
#include "files.h"

#include <QMap>
#include <QTemporaryDir>

struct Arrival {
    qint64 delayMs;
    QString text;
};

class Engine : public FakeRun {
public:
    Engine() {
        comm.onOutput = [this](const QString& text) { Answer(text); };
    }

    QTemporaryDir dir;

    // The bootloader's script.
    // Arrives 50 ms into the restart wait; text before a tab is already waiting at the start.
    QString restart = QStringLiteral("^");
    QString versionRecord = QStringLiteral("V1.30|2.05?");
    qint64 replyDelayMs = 2;
    QMap<int, QStringList> replies;            // data line n: replies to sends 1, 2, 3
    QMap<int, QList<Arrival>> after;           // data line n: more text after its first reply
    QMap<int, QList<qint64>> delays;           // data line n: how late each send's reply comes
    QMap<int, QList<Arrival>> records;         // ready request n: its answer, in pieces
    QString lastLineReply = QStringLiteral("@#");  // reply to the last data line
    QMap<int, qint64> xoffAfter;               // data line n: its first reply comes with an
                                               // XOFF that holds the run's output this long

    int requests = 0;
    qint64 startedAt = 0;
    QList<qint64> requestedAt;
    QStringList lines;  // data lines received, resends included
    QList<qint64> at;   // when each of them came
    QList<int> sendsOf; // sends of each data line

    // Runs an update of the given file content from the start button.
    void Update(const QByteArray& content, int dataLines = -1) {
        dataLines_ = dataLines;
        window.text1 = dir.filePath(QStringLiteral("update.upd"));
        WriteFile(window.text1, content);
        startedAt = time.ms;
        comm.Send(restart.section('\t', 0, -2), 0);  // nothing without a tab
        comm.Send(restart.section('\t', -1), 50);
        run.RunUpdate();
    }

private:
    void Answer(const QString& text) {
        if (text == vars.Tokens.TokenReadyRequest) {
            requestedAt << time.ms;
            for (const Arrival& a : records.value(++requests, {{replyDelayMs, versionRecord}})) {
                comm.Send(a.text, a.delayMs);
            }
            return;
        }
        if (lines.isEmpty() || text != lines.last()) {
            sendsOf << 0;
        }
        lines << text;
        at << time.ms;
        const int n = int(sendsOf.size());
        const int send = ++sendsOf.last();
        QString reply = QStringLiteral("~");
        if (replies.contains(n)) {
            reply = replies[n].value(send - 1);
        } else if (n == dataLines_) {
            reply = lastLineReply;
        }
        const qint64 delay = delays.value(n).value(send - 1, replyDelayMs);
        if (!reply.isEmpty()) {
            comm.Send(reply, delay);
        }
        if (send == 1 && xoffAfter.contains(n)) {
            comm.Hold(time.ms + delay, time.ms + delay + xoffAfter[n]);
        }
        if (send == 1) {
            for (const Arrival& a : after.value(n)) {
                comm.Send(a.text, a.delayMs);
            }
        }
    }

    int dataLines_ = -1;
};

// A file of a version line and n data lines ":Dn", lines ended by CR LF.
inline QByteArray DataFile(int n) {
    QByteArray content = "V2.10\r\n";
    for (int i = 1; i <= n; ++i) {
        content += ":D" + QByteArray::number(i) + "\r\n";
    }
    return content;
}
