// The bootloader's answer to a ready request comes off the serial line as it is, so any
// bytes can reach the cut, the number reader and, through the loader version, the
// formatting shown in the status line. The bytes become text the way the port's reply
// buffer does it, one Latin-1 character per byte.
//
// Besides not crashing:
// - ReadNumber agrees with the C library on the same number, found by a route of its own;
// - a cut either gives a finite float or fails with "Overflow", and only on answers that can
//   hold a number beyond a float's range;
// - the parts of the cut lie where the answer had them;
// - FormatSingle gives at most seven significant digits, and its text reads back (after the
//   decimal separator is put back to ".") to the very same float whenever seven digits are
//   enough for it, and to a float within the seventh digit otherwise.

#include "failure.h"
#include "fuzz_check.h"
#include "version_record.h"

#include <QLocale>
#include <QRegularExpression>
#include <QString>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// The number at the start of text, found without ReadNumber's single pass: blanks, tabs and
// line feeds are skipped anywhere inside a number, so dropping every one of them leaves the
// same number at the start; the longest prefix of the number's form is then handed to
// strtod (this process keeps the "C" locale, so "." is its separator).
double ExpectedNumber(const QString& text) {
    std::string s;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
            continue;
        }
        // Anything outside ASCII ends a number, as any other letter does.
        s.push_back(c.unicode() < 0x80 ? char(c.unicode()) : '#');
    }
    std::string number;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        number += s[i++];
    }
    bool digits = false;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (IsAsciiDigit(s[i])) {
            digits = true;
        } else if (s[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
        number += s[i];
    }
    if (!digits) {
        return 0.0;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            exponent += s[j++];
        }
        const std::size_t firstDigit = j;
        while (j < s.size() && IsAsciiDigit(s[j])) {
            exponent += s[j++];
        }
        if (j > firstDigit) {
            number += exponent;
        }
    }
    const double value = std::strtod(number.c_str(), nullptr);
    // Past the double range ReadNumber gives the largest double rather than an infinity; a
    // cut takes either as an overflow.
    return std::isinf(value) ? std::copysign(DBL_MAX, value) : value;
}

// A number beyond a float's range (about 3.4E+38) has an exponent or 39 digits at least.
bool MayOverflowAFloat(const QString& answer) {
    int digits = 0;
    for (const QChar c : answer) {
        if (c == QLatin1Char('e') || c == QLatin1Char('E')) {
            return true;
        }
        digits += c >= QLatin1Char('0') && c <= QLatin1Char('9');
    }
    return digits >= 39;
}

// The text's significant digits: what stands before the exponent, without the sign, the
// point and the zeros that lead.
QString SignificantDigits(const QString& plain) {
    QString mantissa = plain.section(QLatin1Char('E'), 0, 0);
    mantissa.remove(QLatin1Char('-')).remove(QLatin1Char('.'));
    qsizetype lead = 0;
    while (lead < mantissa.size() && mantissa.at(lead) == QLatin1Char('0')) {
        ++lead;
    }
    return mantissa.mid(lead);
}

void CheckFormatting(float value) {
    const QString text = FormatSingle(value);
    const QString point = QLocale::system().decimalPoint();
    QString plain = text;
    if (point != QLatin1String(".")) {
        FUZZ_CHECK(!text.contains(QLatin1Char('.')));
        plain.replace(point, QLatin1String("."));
    }
    // The shortest form: at most seven significant digits, and no zero that ends a fraction.
    FUZZ_CHECK(SignificantDigits(plain).size() <= 7);
    FUZZ_CHECK(!plain.section(QLatin1Char('E'), 0, 0).contains(QLatin1Char('.')) ||
               !plain.section(QLatin1Char('E'), 0, 0).endsWith(QLatin1Char('0')));

    const double back = ReadNumber(plain);
    FUZZ_CHECK(std::fabs(back) <= double(FLT_MAX));
    const float again = static_cast<float>(back);
    // Seven significant digits are not always enough for a float (it can take nine); the C
    // library tells which floats they are enough for, and those must come back unchanged.
    // The others come back within half a unit of the seventh digit, and the float's own
    // rounding. (Just above a power of ten, the float read back can fall below it and then
    // show as 9.999999: the text need not read back to itself.)
    char seven[64];
    std::snprintf(seven, sizeof seven, "%.7g", double(value));
    if (std::strtof(seven, nullptr) == value) {
        FUZZ_CHECK(again == value);
    } else {
        FUZZ_CHECK(std::fabs(double(again) - double(value)) <=
                   std::fabs(double(value)) * (5e-7 + double(FLT_EPSILON)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A system whose decimal separator is a comma takes the path of FormatSingle that swaps
    // the separator, the path a "." locale never reaches. Qt carries its own locale data, so
    // the locale need not be installed.
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString answer =
        QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    const double number = ReadNumber(answer);
    FUZZ_CHECK(number == ExpectedNumber(answer));

    bool overflow = false;
    VersionRecord record;
    try {
        record = CutVersionRecord(answer);
    } catch (const Failure& failure) {
        overflow = true;
        FUZZ_CHECK(failure.reason() == QLatin1String("Overflow"));
        FUZZ_CHECK(MayOverflowAFloat(answer));
    }

    if (!overflow) {
        FUZZ_CHECK(std::isfinite(record.LoaderVersion));
        const qsizetype bar = answer.indexOf(QLatin1Char('|'));
        if (!answer.contains(QLatin1Char('V'))) {
            FUZZ_CHECK(record.LoaderVersion == 0.0f);
            FUZZ_CHECK(record.OldFirmwareVersion.isEmpty());
            FUZZ_CHECK(record.Rest == answer);
        } else {
            // The firmware runs from the first bar to the first question mark after it; the
            // rest is what stands before the bar, after a V of it: the first, or a later one
            // that a number follows (all of it when the only V stands after the bar).
            const QString head = bar < 0 ? answer : answer.left(bar);
            FUZZ_CHECK(head.endsWith(record.Rest));
            FUZZ_CHECK(record.LoaderVersion == static_cast<float>(ReadNumber(record.Rest)));
            const qsizetype v = head.indexOf(QLatin1Char('V'));
            const qsizetype at = head.size() - record.Rest.size() - 1;
            FUZZ_CHECK(v < 0 ? record.Rest.size() == head.size()
                             : at >= v && head.at(at) == QLatin1Char('V') &&
                                   (at == v || record.Rest.contains(QRegularExpression(
                                                   "^[ \\t\\n]*[-+]?[ \\t\\n]*\\.?[ \\t\\n]*[0-9]"))));
            if (bar < 0) {
                FUZZ_CHECK(record.OldFirmwareVersion.isEmpty());
            } else {
                const QString after = answer.mid(bar + 1);
                FUZZ_CHECK(after.startsWith(record.OldFirmwareVersion));
                FUZZ_CHECK(!record.OldFirmwareVersion.contains(QLatin1Char('?')));
                FUZZ_CHECK(after.size() == record.OldFirmwareVersion.size() ||
                           after.at(record.OldFirmwareVersion.size()) == QLatin1Char('?'));
            }
        }
        CheckFormatting(record.LoaderVersion);
    }

    // Any finite float, not only those a version answer spells, formats and reads back.
    if (size >= sizeof(float)) {
        float value;
        std::memcpy(&value, data, sizeof value);
        if (std::isfinite(value)) {
            CheckFormatting(value);
        }
    }
    return 0;
}
