#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// One Intel HEX record, as a data line of an update file holds it: ":", then in hex digits
// (either case) the byte count, the 16-bit offset, the record type, the data bytes and a
// checksum that makes all bytes sum to zero.
struct HexRecord {
    enum Type : quint8 {
        Data = 0x00,
        EndOfFile = 0x01,
        ExtendedSegmentAddress = 0x02,
        StartSegmentAddress = 0x03,
        ExtendedLinearAddress = 0x04,
        StartLinearAddress = 0x05,
    };
    quint16 offset = 0;
    quint8 type = Data;
    QByteArray data;
};

// Reads a record; returns what is wrong with it, as the end of a sentence that begins "Line
// n of the file is not a valid Intel HEX record: " ("its checksum is 3F, its bytes give
// 41"), or an empty text when the record is sound. The bootloader checks every record
// again; this check is the program's own, before anything is sent.
QString ReadHexRecord(QByteArrayView line, HexRecord* record);
