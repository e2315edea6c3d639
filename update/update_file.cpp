#include "update_file.h"

#include "failure.h"

#include <QFileInfo>


namespace {
// Large enough that reading costs nothing next to the line, small enough to keep the
// memory of a run flat.
constexpr qint64 kChunk = 64 * 1024;
}  // namespace

void UpdateFile::Open(const QString& path) {
    Close();
    // Only a regular file has an end. A named pipe would block the open until a writer
    // comes, a device such as /dev/zero never ends, and neither could be rewound for the
    // second pass; so the kind is looked at before anything is opened.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        throw Failure(path + (info.isDir() ? QStringLiteral(": a folder, not a file")
                                           : QStringLiteral(": not a regular file")));
    }
    file_.setFileName(path);
    if (!file_.open(QIODevice::ReadOnly)) {
        throw Failure(path + QStringLiteral(": ") + file_.errorString());
    }
    if (file_.isSequential()) {
        Close();
        throw Failure(path + QStringLiteral(": not a regular file"));
    }
}

void UpdateFile::Close() {
    if (file_.isOpen()) {
        file_.close();
    }
    buffer_.clear();
    pos_ = 0;
}

bool UpdateFile::Fill() {
    if (pos_ < buffer_.size()) {
        return true;
    }
    if (!file_.isOpen()) {
        throw Failure(QStringLiteral("The update file is not open"));
    }
    buffer_.resize(kChunk);
    const qint64 got = file_.read(buffer_.data(), kChunk);
    if (got < 0) {
        buffer_.clear();
        pos_ = 0;
        throw Failure(QStringLiteral("Cannot read the update file: ") + file_.errorString());
    }
    buffer_.resize(got);
    pos_ = 0;
    return got > 0;
}

bool UpdateFile::AtEnd() {
    return !Fill();
}

void UpdateFile::Take(QByteArray* line) {
    while (Fill()) {
        const qsizetype cr = buffer_.indexOf('\r', pos_);
        const qsizetype end = cr < 0 ? buffer_.size() : cr;
        if (line != nullptr) {
            line->append(buffer_.constData() + pos_, end - pos_);
        }
        pos_ = end;
        if (cr >= 0) {
            ++pos_;
            // A line feed right after the carriage return belongs to the terminator, even
            // when it is the first byte of the next chunk.
            if (Fill() && buffer_.at(pos_) == '\n') {
                ++pos_;
            }
            return;
        }
    }
}

QByteArray UpdateFile::ReadLine() {
    QByteArray line;
    Take(&line);
    return line;
}

void UpdateFile::SkipLine() {
    Take(nullptr);
}

void UpdateFile::Rewind() {
    buffer_.clear();
    pos_ = 0;
    if (!file_.isOpen() || !file_.seek(0)) {
        throw Failure(QStringLiteral("Cannot rewind the update file"));
    }
}
