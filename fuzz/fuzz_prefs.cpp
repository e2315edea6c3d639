// prefs.txt sits in the user's folder where anything may have written it, so the reader
// must take any bytes; and what the program writes it must read back as it was, whatever
// the path holds: quotes, commas, blanks at either end, bytes that are no UTF-8.
//
// Besides not crashing:
// - a record read from any bytes has a path without a line end, and writes and reads back
//   as itself;
// - the record made from the input (the index from its first two bytes, the path from the
//   rest with its line ends taken out, as a file dialog would decode it) writes and reads
//   back as itself, also with any bytes after the written file.

#include "fuzz_check.h"
#include "prefs_file.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstring>

namespace {

bool Same(const PrefsRecord& a, const PrefsRecord& b) {
    return a.portIndex == b.portIndex && a.path == b.path;
}

void CheckRoundTrip(const PrefsRecord& record, const QByteArray& trailing) {
    const QByteArray written = WritePrefs(record);
    const std::optional<PrefsRecord> back = ReadPrefs(written);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(Same(*back, record));
    // The two lines are the whole record: whatever follows them is not read.
    const std::optional<PrefsRecord> followed = ReadPrefs(written + trailing);
    FUZZ_CHECK(followed.has_value());
    FUZZ_CHECK(Same(*followed, record));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    const std::optional<PrefsRecord> read = ReadPrefs(bytes);
    if (read) {
        FUZZ_CHECK(!read->path.contains(QLatin1Char('\r')));
        FUZZ_CHECK(!read->path.contains(QLatin1Char('\n')));
        CheckRoundTrip(*read, bytes);
    }

    if (size >= 2) {
        PrefsRecord made;
        std::int16_t index;
        std::memcpy(&index, data, sizeof index);
        made.portIndex = index;
        QByteArray rest = bytes.mid(2);
        rest.replace('\r', QByteArray()).replace('\n', QByteArray());
        made.path = QString::fromUtf8(rest);
        CheckRoundTrip(made, bytes);
    }
    return 0;
}
