#include "prefs_file.h"

namespace {

// Reads delimited fields the way they were written: one field at a time, from a position
// that moves past the comma or line end that closed the field.
class FieldReader {
public:
    explicit FieldReader(const QByteArray& content) : data_(content) {}

    std::optional<QByteArray> Next() {
        SkipBlanks();
        if (pos_ >= data_.size()) {
            return std::nullopt;
        }
        const qsizetype lineEnd = LineEnd(pos_);
        QByteArray field;
        qsizetype end = lineEnd;
        if (data_.at(pos_) == '"') {
            const qsizetype lastQuote = data_.lastIndexOf('"', lineEnd - 1);
            if (lastQuote > pos_) {
                field = data_.mid(pos_ + 1, lastQuote - pos_ - 1);
                const qsizetype comma = data_.indexOf(',', lastQuote);
                end = comma >= 0 && comma < lineEnd ? comma : lineEnd;
            } else {
                field = data_.mid(pos_ + 1, lineEnd - pos_ - 1);
            }
        } else {
            const qsizetype comma = data_.indexOf(',', pos_);
            end = comma >= 0 && comma < lineEnd ? comma : lineEnd;
            field = data_.mid(pos_, end - pos_).trimmed();
        }
        pos_ = end;
        PassDelimiter();
        return field;
    }

private:
    qsizetype LineEnd(qsizetype from) const {
        for (qsizetype i = from; i < data_.size(); ++i) {
            if (data_.at(i) == '\r' || data_.at(i) == '\n') {
                return i;
            }
        }
        return data_.size();
    }
    void SkipBlanks() {
        while (pos_ < data_.size() && (data_.at(pos_) == ' ' || data_.at(pos_) == '\t')) {
            ++pos_;
        }
    }
    void PassDelimiter() {
        if (pos_ >= data_.size()) {
            return;
        }
        if (data_.at(pos_) == ',') {
            ++pos_;
        } else if (data_.at(pos_) == '\r') {
            ++pos_;
            if (pos_ < data_.size() && data_.at(pos_) == '\n') {
                ++pos_;
            }
        } else if (data_.at(pos_) == '\n') {
            ++pos_;
        }
    }

    const QByteArray& data_;
    qsizetype pos_ = 0;
};

}  // namespace

QByteArray WritePrefs(const PrefsRecord& prefs) {
    const QByteArray path = QString::fromLocal8Bit(prefs.pathBytes) == prefs.path
                                ? prefs.pathBytes
                                : prefs.path.toLocal8Bit();
    return QByteArray::number(prefs.portIndex) + "\r\n\"" + path + "\"\r\n";
}

std::optional<PrefsRecord> ReadPrefs(const QByteArray& content) {
    FieldReader reader(content);
    const std::optional<QByteArray> index = reader.Next();
    if (!index) {
        return std::nullopt;
    }
    bool ok = false;
    const int value = index->toInt(&ok);
    if (!ok || value < -32768 || value > 32767) {
        return std::nullopt;
    }
    const std::optional<QByteArray> path = reader.Next();
    if (!path) {
        return std::nullopt;
    }
    return PrefsRecord{static_cast<qint16>(value), QString::fromLocal8Bit(*path), *path};
}
