// The update file is whatever the user picked: any bytes, any line ends, any length. The
// reader streams it in 64 KiB chunks, so the cases that matter most sit on a chunk's edge;
// short fuzz inputs never get there on their own, so an input can ask to be placed behind a
// filler that ends just short of the first edge.
//
// Input: byte 0 shapes the file (bit 0: behind a filler; bit 1: the filler is short CR LF
// lines rather than one long line), byte 1 is how many of the file's own bytes come before
// the edge, byte 2 picks where a rewind happens, byte 3 which lines are skipped rather than
// read before it; the rest is the file.
//
// Besides not crashing:
// - the check before the port refuses the file exactly when a line feed in it does not
//   follow a carriage return, or when no line of it is a data line; otherwise:
// - no line holds a CR, and the lines joined with the terminators they had (CR LF, or CR
//   alone, or nothing after the last one) give back the file;
// - the counting pass (SkipLine) finds as many lines as the reading pass;
// - a rewind from anywhere reads the same lines again;
// - the lines the program sends are the ones the simulated bootloader expects, and so is
//   the firmware version line.

#include "failure.h"
#include "file_check.h"
#include "fuzz_check.h"
#include "intel_hex.h"
#include "update_file.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr qsizetype kEdge = 64 * 1024;  // the reader's chunk size
constexpr std::size_t kHeader = 4;

int g_fd = -1;
QString g_path;

void WriteTheFile(const QByteArray& content) {
    FUZZ_CHECK(ftruncate(g_fd, 0) == 0);
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t n = pwrite(g_fd, content.constData() + done, content.size() - done, done);
        FUZZ_CHECK(n > 0);
        done += n;
    }
}

bool HasLoneLineFeed(const QByteArray& content) {
    for (qsizetype i = 0; i < content.size(); ++i) {
        if (content.at(i) == '\n' && (i == 0 || content.at(i - 1) != '\r')) {
            return true;
        }
    }
    return false;
}

// Whether a line begins with something other than a terminator or the version line's "V".
bool HasDataLine(const QByteArray& content) {
    qsizetype start = 0;
    while (start < content.size()) {
        if (content.at(start) != '\r' && content.at(start) != 'V') {
            return true;
        }
        const qsizetype cr = content.indexOf('\r', start);
        if (cr < 0) {
            return false;
        }
        start = cr + 1 + (cr + 1 < content.size() && content.at(cr + 1) == '\n' ? 1 : 0);
    }
    return false;
}

QList<QByteArray> ReadAll(UpdateFile& file) {
    QList<QByteArray> lines;
    while (!file.AtEnd()) {
        lines << file.ReadLine();
    }
    return lines;
}

// Walks the file along the lines: each line must stand in the file as it is, followed by
// CR LF or a lone CR, or by nothing when it is the last.
bool LinesRebuildTheFile(const QList<QByteArray>& lines, const QByteArray& content) {
    qsizetype pos = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (line.contains('\r') || content.size() - pos < line.size() ||
            QByteArrayView(content).sliced(pos, line.size()) != line) {
            return false;
        }
        pos += line.size();
        if (pos == content.size()) {
            return i == lines.size() - 1;  // only the last line may go without a terminator
        }
        if (content.at(pos) != '\r') {
            return false;
        }
        ++pos;
        if (pos < content.size() && content.at(pos) == '\n') {
            ++pos;
        }
    }
    return pos == content.size();
}

void CompareWithTheSimulator(const QList<QByteArray>& lines, const QByteArray& content) {
    const std::string_view text(content.constData(), static_cast<std::size_t>(content.size()));
    std::vector<std::string> sent;
    std::string version;
    bool versionSeen = false;
    for (const QByteArray& line : lines) {
        switch (KindOfLine(line)) {
            case LineKind::Empty:
                break;
            case LineKind::Version:
                if (!versionSeen) {
                    version = line.mid(1).toStdString();
                    versionSeen = true;
                }
                break;
            case LineKind::Data:
                sent.emplace_back(line.constData(), static_cast<std::size_t>(line.size()));
                break;
        }
    }
    FUZZ_CHECK(sent == bootsim::UpdateDataLines(text));
    FUZZ_CHECK(version == bootsim::UpdateFirmwareVersion(text));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A file in memory, opened by path like any update file: nothing is left on disk when a
    // run stops, and writing it costs next to nothing.
    g_fd = memfd_create("quorvel-fuzz-update", 0);
    FUZZ_CHECK(g_fd >= 0);
    g_path = QStringLiteral("/proc/self/fd/%1").arg(g_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) {
        return 0;
    }
    const std::uint8_t shape = data[0];
    const std::uint8_t beforeEdge = data[1];
    const std::uint8_t rewindAt = data[2];
    const std::uint8_t skipMask = data[3];
    const QByteArray own(reinterpret_cast<const char*>(data + kHeader),
                         static_cast<qsizetype>(size - kHeader));

    QByteArray content;
    if (shape & 1) {
        const qsizetype fill = kEdge - qMin<qsizetype>(beforeEdge, own.size());
        if (shape & 2) {
            const QByteArray line(":10000000000102030405060708090A0B0C0D0E0F78\r\n");
            content = line.repeated(fill / line.size() + 1).left(fill);
        } else {
            content.fill('x', fill);
        }
    }
    content += own;
    WriteTheFile(content);

    bool refused = false;
    try {
        CheckUpdateFile(g_path);
    } catch (const Failure&) {
        refused = true;
    }
    FUZZ_CHECK(refused == (HasLoneLineFeed(content) || !HasDataLine(content)));
    if (refused) {
        return 0;
    }
    UpdateFile file;
    file.Open(g_path);
    FUZZ_CHECK(file.IsOpen());

    int counted = 0;
    while (!file.AtEnd()) {
        file.SkipLine();
        ++counted;
    }
    file.Rewind();
    const QList<QByteArray> lines = ReadAll(file);
    FUZZ_CHECK(counted == lines.size());
    FUZZ_CHECK(LinesRebuildTheFile(lines, content));
    // Past the end, reading gives nothing and changes nothing.
    FUZZ_CHECK(file.ReadLine().isEmpty());
    FUZZ_CHECK(file.AtEnd());

    // Rewind part way through, after a mix of skipped and read lines.
    file.Rewind();
    const qsizetype stop = lines.isEmpty() ? 0 : rewindAt % (lines.size() + 1);
    for (qsizetype i = 0; i < stop; ++i) {
        if (skipMask >> (i % 8) & 1) {
            file.SkipLine();
        } else {
            FUZZ_CHECK(file.ReadLine() == lines[i]);
        }
    }
    file.Rewind();
    FUZZ_CHECK(ReadAll(file) == lines);

    file.Close();
    FUZZ_CHECK(!file.IsOpen());

    // The simulator reads a file whole, so where it stands behind a filler it has nothing
    // more to show.
    if (!(shape & 1)) {
        CompareWithTheSimulator(lines, content);
    }
    return 0;
}
