#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

// A line format in the control's notation "baud,parity,data bits,stop bits": parity is one
// of n, e, o, m, s (either case), data bits 5 to 8, stop bits 1, 1.5 or 2.
struct LineSettings {
    qint32 baud = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

std::optional<LineSettings> ParseLineSettings(const QString& text);
