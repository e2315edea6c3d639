#include "version_record.h"

#include "failure.h"

#include <QLocale>

#include <cfloat>
#include <cmath>
#include <locale>
#include <sstream>

namespace {

bool IsSkipped(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n');
}
bool IsDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Whether ReadNumber finds digits at the start of text.
bool StartsWithNumber(QStringView text) {
    qsizetype i = 0;
    auto skip = [&] {
        while (i < text.size() && IsSkipped(text[i])) {
            ++i;
        }
    };
    skip();
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        ++i;
        skip();
    }
    if (i < text.size() && text[i] == QLatin1Char('.')) {
        ++i;
        skip();
    }
    return i < text.size() && IsDigit(text[i]);
}

}  // namespace

double ReadNumber(const QString& text) {
    QByteArray number;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto skip = [&] {
        while (i < n && IsSkipped(text[i])) {
            ++i;
        }
    };
    skip();
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        number += char(text[i].unicode());
        ++i;
    }
    bool digits = false;
    bool point = false;
    for (skip(); i < n; ++i, skip()) {
        const QChar c = text[i];
        if (IsDigit(c)) {
            number += char(c.unicode());
            digits = true;
        } else if (c == QLatin1Char('.') && !point) {
            number += '.';
            point = true;
        } else {
            break;
        }
    }
    if (!digits) {
        return 0.0;
    }
    // An exponent counts only with at least one digit after it.
    if (i < n && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        QByteArray exponent("e");
        qsizetype j = i + 1;
        auto skipAt = [&] {
            while (j < n && IsSkipped(text[j])) {
                ++j;
            }
        };
        skipAt();
        if (j < n && (text[j] == QLatin1Char('+') || text[j] == QLatin1Char('-'))) {
            exponent += char(text[j].unicode());
            ++j;
        }
        bool expDigits = false;
        for (skipAt(); j < n && IsDigit(text[j]); ++j, skipAt()) {
            exponent += char(text[j].unicode());
            expDigits = true;
        }
        if (expDigits) {
            number += exponent;
        }
    }
    // The text is well formed by now, so the conversion fails only out of range. The
    // classic locale keeps "." the separator whatever the user's settings; on overflow the
    // stream gives the largest double, which the caller finds too large for a float.
    std::istringstream in(number.toStdString());
    in.imbue(std::locale::classic());
    double value = 0.0;
    in >> value;
    return value;
}

VersionRecord CutVersionRecord(const QString& answer) {
    VersionRecord record;
    record.Rest = answer;
    if (!answer.contains(QLatin1Char('V'))) {
        return record;
    }
    const qsizetype bar = record.Rest.indexOf(QLatin1Char('|'));
    if (bar >= 0) {
        record.OldFirmwareVersion = record.Rest.mid(bar + 1);
        const qsizetype mark = record.OldFirmwareVersion.indexOf(QLatin1Char('?'));
        if (mark >= 0) {
            record.OldFirmwareVersion.truncate(mark);
        }
        record.Rest.truncate(bar);
    }
    // A record that came in pieces over two ready requests leaves the start of the first
    // before the whole second ("BOOT V1.BOOT V1.30|2.05?"), and a banner may hold a "V" of
    // its own: the loader version follows the last "V" that a number follows, or the first
    // "V" when none does.
    qsizetype v = record.Rest.indexOf(QLatin1Char('V'));
    for (qsizetype at = v; at >= 0; at = record.Rest.indexOf(QLatin1Char('V'), at + 1)) {
        if (StartsWithNumber(QStringView(record.Rest).mid(at + 1))) {
            v = at;
        }
    }
    if (v >= 0) {
        record.Rest = record.Rest.mid(v + 1);
    }
    const double value = ReadNumber(record.Rest);
    if (!std::isfinite(value) || std::fabs(value) > double(FLT_MAX)) {
        throw Failure(QStringLiteral("Overflow"));
    }
    record.LoaderVersion = static_cast<float>(value);
    return record;
}

QString FormatSingle(float value) {
    QString text = QString::number(double(value), 'G', 7);
    // The user's number format (the default locale, which is the system's unless the
    // program chose another), while the record itself is always read with ".".
    const QString point = QLocale().decimalPoint();
    if (point != QLatin1String(".")) {
        text.replace(QLatin1Char('.'), point);
    }
    return text;
}
