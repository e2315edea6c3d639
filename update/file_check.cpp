#include "file_check.h"

#include "failure.h"
#include "hex_record.h"
#include "update_file.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// The data records' addresses: an address record sets the base, a data record's 16-bit
// offset counts from it and wraps inside its 64 KiB window.
class AddressBook {
public:
    void Take(const HexRecord& r) {
        const quint64 value =
            r.data.size() >= 2 ? quint64(quint8(r.data[0])) << 8 | quint8(r.data[1]) : 0;
        if (r.type == HexRecord::ExtendedSegmentAddress) {
            base_ = value << 4;
        } else if (r.type == HexRecord::ExtendedLinearAddress) {
            base_ = value << 16;
        } else if (r.type == HexRecord::Data && !r.data.isEmpty()) {
            const quint64 end = quint64(r.offset) + quint64(r.data.size());
            ranges_.push_back({base_ + r.offset, base_ + qMin<quint64>(end, 0x10000)});
            if (end > 0x10000) {
                ranges_.push_back({base_, base_ + end - 0x10000});
            }
        }
    }
    QList<AddressRange> Joined() {
        std::sort(ranges_.begin(), ranges_.end(),
                  [](const AddressRange& a, const AddressRange& b) { return a.begin < b.begin; });
        QList<AddressRange> joined;
        for (const AddressRange& r : ranges_) {
            if (!joined.isEmpty() && r.begin <= joined.last().end) {
                joined.last().end = qMax(joined.last().end, r.end);
            } else {
                joined << r;
            }
        }
        return joined;
    }

private:
    quint64 base_ = 0;
    QList<AddressRange> ranges_;
};

QString Sha256Of(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        throw Failure(path + QStringLiteral(": ") + file.errorString());
    }
    return QString::fromLatin1(hash.result().toHex());
}

}  // namespace

UpdateFileFacts CheckUpdateFile(const QString& path) {
    UpdateFile file;
    file.Open(path);
    UpdateFileFacts facts;
    AddressBook addresses;
    int endOfFileAt = 0;
    while (!file.AtEnd()) {
        const QByteArray line = file.ReadLine();
        ++facts.lines;
        // The reader ends lines at CR and CR LF only, so a line feed it hands over is one
        // that follows no carriage return.
        if (line.contains('\n')) {
            throw Failure(path + QStringLiteral(": line %1 holds a line feed without carriage "
                                                "return: save the file with CR LF line ends")
                                     .arg(facts.lines));
        }
        switch (KindOfLine(line)) {
            case LineKind::Empty:
                continue;
            case LineKind::Version:
                facts.versionLine = QString::fromLatin1(line);
                continue;
            case LineKind::Data:
                break;
        }
        ++facts.dataLines;
        const QString where = QStringLiteral("Line %1 of the file ").arg(facts.lines);
        if (endOfFileAt != 0) {
            // The bootloader ends the update at the end-of-file record: what follows it would
            // be taken for the answer's lines or be lost.
            facts.faults << RecordFault{facts.lines, where + QStringLiteral("comes after the "
                                                                            "end-of-file record "
                                                                            "(line %1)")
                                                                 .arg(endOfFileAt)};
            continue;
        }
        HexRecord record;
        const QString fault = ReadHexRecord(line, &record);
        if (!fault.isEmpty()) {
            facts.faults << RecordFault{
                facts.lines, where + QStringLiteral("is not a valid Intel HEX record: ") + fault};
            continue;
        }
        ++facts.records;
        if (record.type == HexRecord::Data) {
            facts.dataBytes += record.data.size();
        }
        if (record.type == HexRecord::EndOfFile) {
            endOfFileAt = facts.lines;
        }
        addresses.Take(record);
    }
    if (facts.dataLines == 0) {
        throw Failure(path + QStringLiteral(": holds no data lines (Intel HEX records)"));
    }
    if (endOfFileAt == 0) {
        facts.faults << RecordFault{0, QStringLiteral("The file has no end-of-file record "
                                                      "(:00000001FF): the bootloader would not "
                                                      "know the update is over")};
    }
    file.Close();
    facts.ranges = addresses.Joined();
    facts.size = QFileInfo(path).size();
    facts.sha256 = Sha256Of(path);
    return facts;
}

QString FaultSummary(const UpdateFileFacts& facts) {
    if (facts.faults.isEmpty()) {
        return QString();
    }
    return facts.faults.first().sentence +
           (facts.faults.size() == 1
                ? QStringLiteral(".")
                : QStringLiteral(" (%1 faults in all).").arg(facts.faults.size()));
}

QString RangeText(const AddressRange& range) {
    return QStringLiteral("0x%1-0x%2")
        .arg(range.begin, 8, 16, QLatin1Char('0'))
        .arg(range.end - 1, 8, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QLatin1String("0X"), QLatin1String("0x"));
}
