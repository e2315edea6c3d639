#pragma once

#include <QString>

// The bootloader's answer to a ready request: any text, then "V", the loader version as a
// decimal number, then "|", the firmware now in the datalogger as free text, then "?".
// Only the first "|", the first "?" after it and, before that "|", the last "V" that a
// number follows (or the first "V" when none does) matter, and any of them may be missing.
struct VersionRecord {
    float LoaderVersion = 0.0f;    // 0 when the record has no "V"
    QString OldFirmwareVersion;    // "" when the record has no "|"
    QString Rest;                  // what the cut leaves of the answer
};

// Cuts an answer into its parts. Raises a Failure when the loader version does not fit a
// 32-bit float.
VersionRecord CutVersionRecord(const QString& answer);

// The value of the decimal number at the start of text: optional sign, digits, at most one
// decimal point ("."), optional exponent; blanks, tabs and line feeds inside it are
// skipped; reading stops at the first other character; text that does not start with a
// number gives 0.
double ReadNumber(const QString& text);

// A single-precision number in its shortest form of up to 7 significant digits, with the
// system's decimal separator: 1.3, 0, 2, 1.234568E+07.
QString FormatSingle(float value);
