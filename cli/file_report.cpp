#include "file_report.h"

#include "failure.h"
#include "reporter.h"

#include <QJsonArray>
#include <QJsonDocument>

QJsonObject FileFactsJson(const UpdateFileFacts& facts) {
    QJsonArray ranges;
    for (const AddressRange& r : facts.ranges) {
        ranges.append(RangeText(r));
    }
    return {{QStringLiteral("fileSize"), facts.size},
            {QStringLiteral("fileSha256"), facts.sha256},
            {QStringLiteral("records"), facts.records},
            {QStringLiteral("dataBytes"), facts.dataBytes},
            {QStringLiteral("addressRanges"), ranges}};
}

int CheckOnly(const CliOptions& options, FILE* out, FILE* err) {
    UpdateFileFacts facts;
    QString unfit;
    try {
        facts = CheckUpdateFile(options.check);
    } catch (const Failure& failure) {
        unfit = failure.reason();
    }
    const int status = unfit.isEmpty() && facts.faults.isEmpty() ? kExitUpdated : kExitFileFailure;
    QJsonArray faults;
    for (const RecordFault& f : facts.faults) {
        faults.append(
            QJsonObject{{QStringLiteral("line"), f.line}, {QStringLiteral("fault"), f.sentence}});
    }
    if (options.json) {
        QJsonObject o = FileFactsJson(facts);
        o[QStringLiteral("file")] = options.check;
        o[QStringLiteral("lines")] = facts.lines;
        o[QStringLiteral("dataLines")] = facts.dataLines;
        o[QStringLiteral("versionLine")] =
            facts.versionLine.isEmpty() ? QJsonValue() : facts.versionLine;
        o[QStringLiteral("faults")] = faults;
        o[QStringLiteral("reason")] = unfit.isEmpty() ? QJsonValue() : unfit;
        o[QStringLiteral("exitStatus")] = status;
        Put(out, QJsonDocument(o).toJson(QJsonDocument::Indented));
    }
    FILE* talk = options.json ? err : out;
    if (!unfit.isEmpty()) {
        Put(err, (QStringLiteral("Error opening ") + options.check + QStringLiteral(".\n") + unfit +
                  QLatin1Char('\n'))
                     .toLocal8Bit());
        return status;
    }
    QStringList lines = {
        QStringLiteral("File: ") + options.check,
        QStringLiteral("Size: %1 bytes, SHA-256 %2").arg(facts.size).arg(facts.sha256),
        QStringLiteral("Lines: %1, of which %2 data lines: %3 sound records")
            .arg(facts.lines)
            .arg(facts.dataLines)
            .arg(facts.records),
        QStringLiteral("Firmware version line: ") +
            (facts.versionLine.isEmpty() ? QStringLiteral("none") : facts.versionLine),
    };
    QStringList ranges;
    for (const AddressRange& r : facts.ranges) {
        ranges << RangeText(r);
    }
    lines << QStringLiteral("Data: %1 bytes at %2")
                 .arg(facts.dataBytes)
                 .arg(ranges.isEmpty() ? QStringLiteral("no address")
                                       : ranges.join(QStringLiteral(", ")));
    Put(talk, (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toLocal8Bit());
    if (facts.faults.isEmpty()) {
        Put(talk, "No fault found: the file can be sent.\n");
        return status;
    }
    QString text = facts.faults.size() == 1
                       ? QStringLiteral("1 fault:\n")
                       : QStringLiteral("%1 faults:\n").arg(facts.faults.size());
    for (const RecordFault& f : facts.faults) {
        text += QStringLiteral("  ") + f.sentence + QStringLiteral(".\n");
    }
    Put(err, text.toLocal8Bit());
    return status;
}
