#include "trace.h"

#include <algorithm>

namespace bootsim {

std::string EscapeBytes(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(ch);
        } else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

bool Trace::Open(const std::string& path, TimePoint origin) {
    Close();
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) {
        return false;
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    origin_ = origin;
    std::fputs("# bootloader-sim line trace: <us since start> RX|TX <bytes> or -- <event>\n",
               file_);
    dirty_ = true;
    return true;
}

void Trace::Close() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    dirty_ = false;
}

void Trace::Line(TimePoint t, const char* tag, std::string_view body) {
    // A paced line stamps received bytes with the time their last bit came in, which can be
    // a moment before a line already written; the file stays in time order all the same.
    t = std::max(t, last_write_);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - origin_).count();
    line_ = std::to_string(us);
    line_ += ' ';
    line_ += tag;
    line_ += ' ';
    line_ += body;
    line_ += '\n';
    std::fwrite(line_.data(), 1, line_.size(), file_);
    dirty_ = true;
    last_write_ = t;
}

void Trace::Bytes(TimePoint t, const char* direction, std::string_view bytes) {
    if (file_) {
        Line(t, direction, EscapeBytes(bytes));
    }
}

void Trace::Note(TimePoint t, std::string_view text) {
    if (file_) {
        Line(t, "--", text);
    }
}

void Trace::Flush() {
    if (file_ && dirty_) {
        std::fflush(file_);
    }
    dirty_ = false;
}

}  // namespace bootsim
