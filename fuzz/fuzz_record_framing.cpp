// The simulated bootloader frames whatever a host sends, checks each record and writes the
// good ones into its flash image; the tests then compare that image with the update file's.
// A fault here would show up as a fault of the program, so the simulator is held to the
// same standard as the program.
//
// Input: byte 0 seeds the sizes of the pieces the stream arrives in; the rest is the stream.
//
// Besides not crashing:
// - framing does not depend on how the stream is cut into pieces, loses and invents no
//   byte, and CompletesAfter foretells exactly what Feed then does;
// - each unit has the shape of its kind;
// - CheckRecord takes upper and lower case alike, and an Ok record formats back to its text;
// - the image the good records build holds exactly the bytes a plain address map holds, and
//   its canonical Intel HEX and binary forms carry the same bytes.

#include "fuzz_check.h"
#include "intel_hex.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

using bootsim::Framer;
using bootsim::MemoryImage;
using bootsim::Record;
using bootsim::RecordCheck;

namespace {

struct Unit {
    Framer::Unit kind;
    std::string text;
    bool flushed;  // closed by the line going quiet: only such a unit may be cut short
    bool operator==(const Unit& o) const {
        return kind == o.kind && text == o.text && flushed == o.flushed;
    }
};
using Units = std::vector<Unit>;

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
    return c <= '9' ? c - '0' : (std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
}

// ":" then a byte count, and exactly as long as that count makes a record.
bool HasRecordLength(std::string_view text) {
    return text.size() >= 3 && text[0] == ':' && IsHex(text[1]) && IsHex(text[2]) &&
           text.size() == 11 + 2 * std::size_t(HexValue(text[1]) * 16 + HexValue(text[2]));
}

// Feeds the stream in pieces whose sizes come from seed (0: all at once) and collects the
// units, the one the final quiet included.
Units Frame(std::string_view stream, std::uint32_t seed) {
    Framer framer;
    Units units;
    std::size_t at = 0;
    while (at < stream.size()) {
        std::size_t piece = stream.size() - at;
        if (seed != 0) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            piece = std::min<std::size_t>(piece, 1 + seed % 24);
        }
        std::string_view in = stream.substr(at, piece);
        at += piece;
        while (!in.empty()) {
            const std::size_t foretold = framer.CompletesAfter(in);
            Framer::Unit done;
            const std::size_t used = framer.Feed(in, done);
            FUZZ_CHECK(used >= 1 && used <= in.size());
            if (done == Framer::Unit::None) {
                FUZZ_CHECK(used == in.size());
                FUZZ_CHECK(foretold == 0);
                FUZZ_CHECK(framer.Pending());
            } else {
                FUZZ_CHECK(foretold == used);
                FUZZ_CHECK(!framer.Pending());
                units.push_back(Unit{done, std::string(framer.Text()), false});
            }
            in.remove_prefix(used);
        }
    }
    const bool pending = framer.Pending();
    const Framer::Unit last = framer.Flush();
    FUZZ_CHECK(pending == (last != Framer::Unit::None));
    if (last != Framer::Unit::None) {
        FUZZ_CHECK(last != Framer::Unit::ReadyRequest);
        units.push_back(Unit{last, std::string(framer.Text()), true});
    }
    return units;
}

void CheckUnitShape(const Unit& unit) {
    const std::string_view text = unit.text;
    FUZZ_CHECK(!text.empty());
    const bool countIsHex = text.size() >= 3 && text[0] == ':' && IsHex(text[1]) && IsHex(text[2]);
    const std::size_t request = text.find("@&$");
    switch (unit.kind) {
        case Framer::Unit::Record:
            FUZZ_CHECK(text[0] == ':');
            // A record ends where its byte count says, not a character later or sooner.
            FUZZ_CHECK(unit.flushed || HasRecordLength(text));
            break;
        case Framer::Unit::ReadyRequest:
            // Noise before a request goes with it; a record whose length is known is never
            // cut by one.
            FUZZ_CHECK(request == text.size() - 3);
            FUZZ_CHECK(!countIsHex);
            break;
        case Framer::Unit::Garbage:
            FUZZ_CHECK(unit.flushed);
            FUZZ_CHECK(text[0] != ':');
            FUZZ_CHECK(request == std::string_view::npos);
            break;
        case Framer::Unit::None:
            FUZZ_CHECK(false);
    }
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}
std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

RecordCheck CheckAnyRecord(std::string_view text, Record& out) {
    const RecordCheck check = CheckRecord(text, out);
    Record other;
    FUZZ_CHECK(CheckRecord(Upper(text), other) == check);
    FUZZ_CHECK(CheckRecord(Lower(text), other) == check);
    const bool shaped = HasRecordLength(text) && std::all_of(text.begin() + 1, text.end(), IsHex);
    if (check == RecordCheck::Ok) {
        FUZZ_CHECK(shaped);
        FUZZ_CHECK(bootsim::FormatRecord(out.type, out.offset, out.data, out.length) == Upper(text));
    } else if (check == RecordCheck::BadChecksum) {
        FUZZ_CHECK(shaped);
    }
    return check;
}

// Where the builder's rules put each byte, kept in a plain map: data records land at the
// base plus their offset, wrapping within the 64 KiB window; 02 and 04 records move the base.
class AddressMap {
public:
    void Apply(const Record& r) {
        if (r.type == bootsim::kData) {
            for (std::size_t i = 0; i < r.length; ++i) {
                bytes_[base_ + ((r.offset + i) & 0xFFFFu)] = r.data[i];
            }
        } else if (r.type == bootsim::kExtendedSegmentAddress) {
            base_ = std::uint32_t(r.data[0] << 8 | r.data[1]) * 16u;
        } else if (r.type == bootsim::kExtendedLinearAddress) {
            base_ = std::uint32_t(r.data[0] << 8 | r.data[1]) << 16;
        }
    }
    const std::map<std::uint32_t, std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::map<std::uint32_t, std::uint8_t> bytes_;
    std::uint32_t base_ = 0;
};

void CheckImage(const MemoryImage& image, const AddressMap& model) {
    const auto& bytes = model.Bytes();
    FUZZ_CHECK(image.Size() == bytes.size());
    FUZZ_CHECK(image.Empty() == bytes.empty());
    if (bytes.empty()) {
        FUZZ_CHECK(image.Ranges().empty());
        return;
    }
    FUZZ_CHECK(image.Lowest() == bytes.begin()->first);

    std::map<std::uint32_t, std::uint8_t> fromRanges;
    std::uint64_t previousEnd = 0;
    bool first = true;
    for (const MemoryImage::Range& range : image.Ranges()) {
        FUZZ_CHECK(!range.bytes.empty());
        // Maximal runs in order: each starts past a gap after the one before.
        FUZZ_CHECK(first || range.begin > previousEnd);
        first = false;
        for (std::size_t i = 0; i < range.bytes.size(); ++i) {
            fromRanges[range.begin + std::uint32_t(i)] = range.bytes[i];
        }
        previousEnd = std::uint64_t(range.begin) + range.bytes.size();
    }
    FUZZ_CHECK(fromRanges == bytes);

    // The canonical text builds the same image, and is itself canonical.
    const std::string hex = image.ToIntelHex();
    MemoryImage again;
    std::string error;
    FUZZ_CHECK(bootsim::ImageOfUpdate(hex, again, &error));
    FUZZ_CHECK(again == image);
    FUZZ_CHECK(again.ToIntelHex() == hex);

    // The binary form spans from the lowest to the highest byte; keep it to what a fuzz
    // run can afford.
    const std::uint32_t low = image.Lowest();
    const std::uint32_t high = bytes.rbegin()->first;
    if (high - low < (1u << 17)) {
        std::string expected(std::size_t(high - low) + 1, '\xFF');
        for (const auto& [address, value] : bytes) {
            expected[address - low] = static_cast<char>(value);
        }
        std::string binary;
        FUZZ_CHECK(image.ToBinary(low, binary));
        FUZZ_CHECK(binary == expected);
        if (low != 0xFFFFFFFFu) {
            FUZZ_CHECK(!image.ToBinary(low + 1, binary));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

    const Units whole = Frame(stream, 0);
    const Units pieces = Frame(stream, 0x9E3779B9u ^ data[0]);
    FUZZ_CHECK(whole == pieces);

    std::string joined;
    MemoryImage image;
    bootsim::ImageBuilder builder(image);
    AddressMap model;
    for (const Unit& unit : whole) {
        FUZZ_CHECK(!unit.flushed || &unit == &whole.back());
        joined += unit.text;
        CheckUnitShape(unit);
        if (unit.kind == Framer::Unit::Record) {
            Record record;
            if (CheckAnyRecord(unit.text, record) == RecordCheck::Ok) {
                builder.Apply(record);
                model.Apply(record);
            }
        }
    }
    FUZZ_CHECK(joined == stream);
    CheckImage(image, model);

    // The same bytes as a whole update file, and as one record.
    MemoryImage fromFile;
    std::string error;
    if (bootsim::ImageOfUpdate(stream, fromFile, &error)) {
        const std::string hex = fromFile.ToIntelHex();
        MemoryImage again;
        FUZZ_CHECK(bootsim::ImageOfUpdate(hex, again, &error));
        FUZZ_CHECK(again == fromFile);
    }
    Record record;
    CheckAnyRecord(stream, record);
    return 0;
}
