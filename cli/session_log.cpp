#include "session_log.h"

#include "quorvel_version.h"

#include <QDateTime>

bool SessionLog::Open(const QString& path, QString* reason) {
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *reason = path + QStringLiteral(": ") + file_.errorString();
        return false;
    }
    since_.start();
    // UTC, as the JSON has it, so that the records of a bench line up whatever the zone.
    Write(QStringLiteral("# quorvel-cli %1 session log, started %2")
              .arg(QStringLiteral(QUORVEL_VERSION_TEXT),
                   QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs))
              .toUtf8());
    return true;
}

void SessionLog::Event(const QString& kind, const QString& text) {
    if (file_.isOpen()) {
        Write(QStringLiteral("%1 %2 %3")
                  .arg(double(since_.nsecsElapsed()) / 1e9, 10, 'f', 3)
                  .arg(kind, text)
                  .toUtf8());
    }
}

void SessionLog::Bytes(const QString& direction, const QString& text) {
    Event(direction, QLatin1Char('"') + VisibleBytes(text) + QLatin1Char('"'));
}

void SessionLog::Write(const QByteArray& line) {
    file_.write(line);
    file_.write("\n", 1);
}

void SessionLog::Close() {
    if (file_.isOpen()) {
        file_.close();
    }
}

void RecordingComm::PortOpen(bool open) {
    log_.Event(open ? QStringLiteral("open") : QStringLiteral("close"),
               QStringLiteral("port %1").arg(port_.CommPort()));
    port_.PortOpen(open);
}

QString RecordingComm::Input() {
    QString text = port_.Input();
    if (!text.isEmpty()) {
        log_.Bytes(QStringLiteral("received"), text);
    }
    return text;
}

void RecordingComm::Output(const QString& text) {
    log_.Bytes(QStringLiteral("sent"), text);
    port_.Output(text);
}
