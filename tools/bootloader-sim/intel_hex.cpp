#include "intel_hex.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

namespace bootsim {

namespace {

constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
constexpr std::string_view kReadyRequest = "@&$";
constexpr char kHexDigits[] = "0123456789ABCDEF";

struct HexTable {
    signed char value[256];
    constexpr HexTable() : value() {
        for (int i = 0; i < 256; ++i) {
            value[i] = -1;
        }
        for (int i = 0; i < 10; ++i) {
            value['0' + i] = static_cast<signed char>(i);
        }
        for (int i = 0; i < 6; ++i) {
            value['A' + i] = static_cast<signed char>(10 + i);
            value['a' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr HexTable kHex;

// The byte at text[pos..pos+1], or -1 when either character is not a hex digit.
inline int HexByte(std::string_view text, std::size_t pos) {
    const int hi = kHex.value[static_cast<unsigned char>(text[pos])];
    const int lo = kHex.value[static_cast<unsigned char>(text[pos + 1])];
    return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}

void AppendHexByte(std::string& out, unsigned value) {
    out.push_back(kHexDigits[(value >> 4) & 0xF]);
    out.push_back(kHexDigits[value & 0xF]);
}

}  // namespace

RecordCheck CheckRecord(std::string_view text, Record& out) {
    if (text.size() < 11 || text[0] != ':' || (text.size() - 1) % 2 != 0) {
        return RecordCheck::Malformed;
    }
    const int length = HexByte(text, 1);
    if (length < 0 || text.size() != 11 + 2 * static_cast<std::size_t>(length)) {
        return RecordCheck::Malformed;
    }
    unsigned sum = 0;
    std::uint8_t bytes[260];
    const std::size_t count = (text.size() - 1) / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const int b = HexByte(text, 1 + 2 * i);
        if (b < 0) {
            return RecordCheck::Malformed;
        }
        bytes[i] = static_cast<std::uint8_t>(b);
        sum += static_cast<unsigned>(b);
    }
    const std::uint8_t type = bytes[3];
    // The checksum is looked at first: a corrupted type or length byte should read as what
    // it is, a line damaged on the way, so that the host sends it again.
    if ((sum & 0xFF) != 0) {
        return RecordCheck::BadChecksum;
    }
    switch (type) {
        case kData:
            break;
        case kEndOfFile:
            if (length != 0) {
                return RecordCheck::Malformed;
            }
            break;
        case kExtendedSegmentAddress:
        case kExtendedLinearAddress:
            if (length != 2) {
                return RecordCheck::Malformed;
            }
            break;
        case kStartSegmentAddress:
        case kStartLinearAddress:
            if (length != 4) {
                return RecordCheck::Malformed;
            }
            break;
        default:
            return RecordCheck::Malformed;
    }
    out.type = type;
    out.offset = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    out.length = static_cast<std::uint8_t>(length);
    std::memcpy(out.data, bytes + 4, static_cast<std::size_t>(length));
    return RecordCheck::Ok;
}

// ---------------------------------------------------------------------------------------
// Framer

void Framer::Reset() {
    buf_.clear();
    expected_ = 0;
    complete_ = false;
}

std::size_t Framer::Feed(std::string_view in, Unit& done) {
    if (complete_) {
        Reset();
    }
    done = Unit::None;
    std::size_t i = 0;
    while (i < in.size()) {
        if (expected_ != 0 && expected_ != kUnbounded) {
            // The body of a record whose length is known: take it in one piece.
            const std::size_t take = std::min(in.size() - i, expected_ - buf_.size());
            buf_.append(in.data() + i, take);
            i += take;
            if (buf_.size() == expected_) {
                complete_ = true;
                done = Unit::Record;
                return i;
            }
            continue;
        }
        buf_.push_back(in[i++]);
        if (buf_[0] == ':' && expected_ == 0) {
            if (buf_.size() == 3) {
                const int length = HexByte(buf_, 1);
                // A count that is not hex makes no record: the unit lasts until the line
                // goes quiet, and is then answered as a malformed record.
                expected_ = length < 0 ? kUnbounded : 11 + 2 * static_cast<std::size_t>(length);
            }
            continue;
        }
        if (buf_.size() >= kReadyRequest.size() &&
            std::string_view(buf_).substr(buf_.size() - kReadyRequest.size()) == kReadyRequest) {
            // Whatever came before the request was noise on the line; the request itself
            // is what the host meant.
            complete_ = true;
            done = Unit::ReadyRequest;
            return i;
        }
    }
    return i;
}

std::size_t Framer::CompletesAfter(std::string_view in) const {
    Framer probe = *this;
    Unit done;
    const std::size_t used = probe.Feed(in, done);
    return done == Unit::None ? 0 : used;
}

Framer::Unit Framer::Flush() {
    if (buf_.empty() || complete_) {
        return Unit::None;
    }
    complete_ = true;
    return buf_[0] == ':' ? Unit::Record : Unit::Garbage;
}

// ---------------------------------------------------------------------------------------
// MemoryImage

void MemoryImage::Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t n) {
    if (n == 0) {
        return;
    }
    const std::uint64_t end = std::uint64_t{address} + n;
    // The bytes join the run that holds address or ends right before it, else start one.
    auto run = runs_.upper_bound(address);
    if (run != runs_.begin() &&
        std::prev(run)->first + std::uint64_t{std::prev(run)->second.size()} >= address) {
        --run;
    } else {
        run = runs_.emplace_hint(run, address, std::vector<std::uint8_t>());
    }
    std::vector<std::uint8_t>& data = run->second;
    const std::size_t from = address - run->first;
    data.resize(std::max(data.size(), from + n));
    std::copy(bytes, bytes + n, data.begin() + static_cast<std::ptrdiff_t>(from));
    // The runs the bytes reach or touch become part of this one, with what lies past them.
    auto next = std::next(run);
    while (next != runs_.end() && next->first <= end) {
        const std::uint64_t nextEnd = next->first + std::uint64_t{next->second.size()};
        if (nextEnd > end) {
            data.insert(data.end(), next->second.end() - static_cast<std::ptrdiff_t>(nextEnd - end),
                        next->second.end());
        }
        next = runs_.erase(next);
    }
}

std::size_t MemoryImage::Size() const {
    std::size_t size = 0;
    for (const auto& run : runs_) {
        size += run.second.size();
    }
    return size;
}

std::vector<MemoryImage::Range> MemoryImage::Ranges() const {
    std::vector<Range> out;
    for (const auto& [begin, bytes] : runs_) {
        out.push_back(Range{begin, bytes});
    }
    return out;
}

std::string MemoryImage::ToIntelHex() const {
    std::string out;
    std::uint32_t upper = 0;
    for (const auto& [begin, bytes] : runs_) {
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const std::uint32_t address = begin + static_cast<std::uint32_t>(pos);
            const std::size_t take = std::min<std::size_t>(bytes.size() - pos, 16 - (address & 15));
            if ((address >> 16) != upper) {
                upper = address >> 16;
                const std::uint8_t ela[2] = {static_cast<std::uint8_t>(upper >> 8),
                                             static_cast<std::uint8_t>(upper)};
                out += FormatRecord(kExtendedLinearAddress, 0, ela, 2);
                out += "\r\n";
            }
            out += FormatRecord(kData, static_cast<std::uint16_t>(address & 0xFFFF),
                                bytes.data() + pos, take);
            out += "\r\n";
            pos += take;
        }
    }
    out += ":00000001FF\r\n";
    return out;
}

bool MemoryImage::ToBinary(std::uint32_t base, std::string& out) const {
    out.clear();
    if (Empty()) {
        return true;
    }
    if (Lowest() < base) {
        return false;
    }
    const auto& [last, lastBytes] = *runs_.rbegin();
    out.assign(last - base + lastBytes.size(), '\xFF');
    for (const auto& [begin, bytes] : runs_) {
        std::memcpy(&out[begin - base], bytes.data(), bytes.size());
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// ImageBuilder

void ImageBuilder::Apply(const Record& r) {
    switch (r.type) {
        case kData: {
            const std::size_t first = std::min<std::size_t>(r.length, 0x10000u - r.offset);
            image_.Write(base_ + r.offset, r.data, first);
            if (first < r.length) {
                image_.Write(base_, r.data + first, r.length - first);
            }
            break;
        }
        case kExtendedSegmentAddress:
            base_ = static_cast<std::uint32_t>(r.data[0] << 8 | r.data[1]) << 4;
            break;
        case kExtendedLinearAddress:
            base_ = static_cast<std::uint32_t>(r.data[0] << 8 | r.data[1]) << 16;
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------
// Update files

namespace {

// A line ends at CR, and an LF right behind that CR belongs to the line end. A lone LF
// ends nothing: the program reads its files that way, so a line with an LF inside goes
// out whole, and the bootloader judges it whole.
template <typename F>
void ForEachLine(std::string_view text, F&& f) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\r', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        f(text.substr(pos, end - pos));
        pos = end;
        if (pos < text.size()) {
            ++pos;
            if (pos < text.size() && text[pos] == '\n') {
                ++pos;
            }
        }
    }
}

}  // namespace

std::vector<std::string> UpdateDataLines(std::string_view fileText) {
    std::vector<std::string> lines;
    ForEachLine(fileText, [&](std::string_view line) {
        if (!line.empty() && line[0] != 'V') {
            lines.emplace_back(line);
        }
    });
    return lines;
}

std::string UpdateFirmwareVersion(std::string_view fileText) {
    std::string version;
    bool found = false;
    ForEachLine(fileText, [&](std::string_view line) {
        if (!found && !line.empty() && line[0] == 'V') {
            version = std::string(line.substr(1));
            found = true;
        }
    });
    return version;
}

bool ImageOfUpdate(std::string_view fileText, MemoryImage& out, std::string* error) {
    out.Clear();
    ImageBuilder builder(out);
    Record record;
    std::size_t number = 0;
    for (const std::string& line : UpdateDataLines(fileText)) {
        ++number;
        if (CheckRecord(line, record) != RecordCheck::Ok) {
            if (error) {
                *error = "data line " + std::to_string(number) + " is not a valid record: " + line;
            }
            return false;
        }
        builder.Apply(record);
    }
    return true;
}

bool ImageOfUpdateFile(const std::string& path, MemoryImage& out, std::string* error) {
    std::string text;
    return ReadFile(path, text, error) && ImageOfUpdate(text, out, error);
}

std::string FormatRecord(std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
                         std::size_t n) {
    std::string out;
    out.reserve(11 + 2 * n);
    out.push_back(':');
    unsigned sum = static_cast<unsigned>(n) + (offset >> 8) + (offset & 0xFF) + type;
    AppendHexByte(out, static_cast<unsigned>(n));
    AppendHexByte(out, offset >> 8);
    AppendHexByte(out, offset & 0xFF);
    AppendHexByte(out, type);
    for (std::size_t i = 0; i < n; ++i) {
        AppendHexByte(out, data[i]);
        sum += data[i];
    }
    AppendHexByte(out, (0x100 - (sum & 0xFF)) & 0xFF);
    return out;
}

std::string MakeSampleUpdate(int dataRecords, const std::string& firmwareVersion) {
    std::string out = "V" + firmwareVersion + "\r\n";
    // A made-up firmware: a readable banner, then bytes from a fixed xorshift sequence, so
    // the file is the same on every machine and every rebuild.
    const std::string banner = "QUORVEL DEMO FIRMWARE " + firmwareVersion + " ";
    std::uint32_t state = 0x2545F491u;
    const std::uint32_t base = 0x00010000u;
    std::uint32_t upper = 0xFFFFFFFFu;
    std::uint32_t address = base;
    for (int r = 0; r < dataRecords; ++r) {
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const std::uint8_t ela[2] = {static_cast<std::uint8_t>(upper >> 8),
                                         static_cast<std::uint8_t>(upper)};
            out += FormatRecord(kExtendedLinearAddress, 0, ela, 2) + "\r\n";
        }
        std::uint8_t data[16];
        for (std::uint32_t i = 0; i < 16; ++i) {
            const std::uint32_t at = address - base + i;
            if (at < banner.size()) {
                data[i] = static_cast<std::uint8_t>(banner[at]);
            } else {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                data[i] = static_cast<std::uint8_t>(state >> 24);
            }
        }
        out += FormatRecord(kData, static_cast<std::uint16_t>(address & 0xFFFF), data, 16);
        out += "\r\n";
        address += 16;
    }
    out += ":00000001FF\r\n";
    return out;
}

bool ReadFile(const std::string& path, std::string& out, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        if (error) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
        }
        return false;
    }
    out.clear();
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, n);
    }
    const bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok && error) {
        *error = "cannot read " + path;
    }
    return ok;
}

bool WriteFile(const std::string& path, std::string_view data, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        if (error) {
            *error = "cannot create " + path + ": " + std::strerror(errno);
        }
        return false;
    }
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    const bool closed = std::fclose(f) == 0;
    if ((!ok || !closed) && error) {
        *error = "cannot write " + path;
    }
    return ok && closed;
}

}  // namespace bootsim
