#include "hex_record.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

QString Hex2(int value) {
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

// The data bytes each address or start record must carry.
int NeededBytes(quint8 type) {
    switch (type) {
        case HexRecord::EndOfFile:
            return 0;
        case HexRecord::ExtendedSegmentAddress:
        case HexRecord::ExtendedLinearAddress:
            return 2;
        case HexRecord::StartSegmentAddress:
        case HexRecord::StartLinearAddress:
            return 4;
        default:
            return -1;
    }
}

}  // namespace

QString ReadHexRecord(QByteArrayView line, HexRecord* record) {
    if (line.isEmpty() || line.front() != ':') {
        return QStringLiteral("it does not begin with \":\"");
    }
    for (qsizetype i = 1; i < line.size(); ++i) {
        if (HexValue(line[i]) < 0) {
            const uchar c = uchar(line[i]);
            const QString shown = c >= 0x20 && c < 0x7F
                                      ? QStringLiteral("\"%1\"").arg(QLatin1Char(char(c)))
                                      : QStringLiteral("the byte %1").arg(Hex2(c));
            return QStringLiteral("character %1 is %2, not a hex digit").arg(i + 1).arg(shown);
        }
    }
    if (line.size() < 11) {
        return QStringLiteral("it has %1 characters, and a record has at least 11")
            .arg(line.size());
    }
    const auto byteAt = [&line](qsizetype i) {
        return HexValue(line[1 + 2 * i]) * 16 + HexValue(line[2 + 2 * i]);
    };
    const int count = byteAt(0);
    const qsizetype needed = 11 + 2 * qsizetype(count);
    if (line.size() != needed) {
        return QStringLiteral("its byte count %1 makes a record of %2 characters, and it has %3")
            .arg(Hex2(count))
            .arg(needed)
            .arg(line.size());
    }
    int sum = 0;
    for (qsizetype i = 0; i < 4 + count; ++i) {
        sum += byteAt(i);
    }
    const int checksum = byteAt(4 + count);
    const int expected = (0x100 - (sum & 0xFF)) & 0xFF;
    if (checksum != expected) {
        return QStringLiteral("its checksum is %1, its bytes give %2")
            .arg(Hex2(checksum), Hex2(expected));
    }
    const int type = byteAt(3);
    if (type > HexRecord::StartLinearAddress) {
        return QStringLiteral("its record type %1 is none of 00 to 05").arg(Hex2(type));
    }
    const int bytes = NeededBytes(quint8(type));
    if (bytes >= 0 && count != bytes) {
        return QStringLiteral("a record of type %1 carries %2 data bytes, and it has %3")
            .arg(Hex2(type))
            .arg(bytes)
            .arg(count);
    }
    record->offset = quint16(byteAt(1) * 256 + byteAt(2));
    record->type = quint8(type);
    record->data.resize(count);
    for (int i = 0; i < count; ++i) {
        record->data[i] = char(byteAt(4 + i));
    }
    return QString();
}
