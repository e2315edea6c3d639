#pragma once

// Intel HEX as the bootloader sees it: records framed from an unterminated byte stream,
// their checks, and the sparse flash image they build. The same code computes the image of
// an update file, so a test compares two images made by one set of rules.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace bootsim {

enum RecordType : std::uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegmentAddress = 0x02,
    kStartSegmentAddress = 0x03,
    kExtendedLinearAddress = 0x04,
    kStartLinearAddress = 0x05,
};

struct Record {
    std::uint8_t type = 0;
    std::uint16_t offset = 0;
    std::uint8_t length = 0;
    std::uint8_t data[255] = {};
};

enum class RecordCheck {
    Ok,
    BadChecksum,  // well formed, but the bytes do not sum to zero
    Malformed,    // wrong length, a non-hex character, an unknown type or a bad address record
};

// Checks one record as received (":LLAAAATT<data>CC", upper or lower case hex, nothing
// around it) and decodes it into out when it is Ok.
RecordCheck CheckRecord(std::string_view text, Record& out);

// Splits the unterminated stream a host sends into units. A record ends after the number
// of characters its byte-count field implies, so the bootloader answers it without waiting;
// anything else (a record cut short, stray bytes) only ends when the line goes quiet, which
// the caller detects and reports with Flush.
class Framer {
public:
    enum class Unit { None, Record, ReadyRequest, Garbage };

    // Consumes bytes up to and including the last byte of the first unit they complete and
    // returns how many it consumed; done tells which unit completed (None: all consumed and
    // nothing completed yet). The unit's text is Text() until the next Feed or Flush.
    std::size_t Feed(std::string_view in, Unit& done);
    // How many of the bytes in would be consumed before a unit completes (0: none
    // completes), without consuming them: a paced line sleeps until that byte is in.
    std::size_t CompletesAfter(std::string_view in) const;
    // The line went quiet: whatever is pending is a unit of its own.
    Unit Flush();
    bool Pending() const { return !buf_.empty() && !complete_; }
    std::string_view Text() const { return buf_; }
    void Reset();

private:
    std::string buf_;
    std::size_t expected_ = 0;  // total length of the record in progress, once known
    bool complete_ = false;
};

// A sparse memory image, byte-addressed over 32 bits, kept as the maximal runs of written
// bytes: a record that follows the one before only lengthens the last run, so the bootloader
// keeps up with thousands of records a second, and an image copies as a few blocks.
class MemoryImage {
public:
    // The n bytes from address on; they must not run past the top of the address space.
    void Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t n);
    std::size_t Size() const;  // bytes written at least once
    bool Empty() const { return runs_.empty(); }
    std::uint32_t Lowest() const { return Empty() ? 0 : runs_.begin()->first; }
    void Clear() { runs_.clear(); }

    struct Range {
        std::uint32_t begin;
        std::vector<std::uint8_t> bytes;
    };
    // The written bytes as maximal contiguous runs, in address order.
    std::vector<Range> Ranges() const;

    // Canonical Intel HEX (16-byte aligned data records, 04 records as needed, CR LF): two
    // equal images give the same text however their records were laid out.
    std::string ToIntelHex() const;
    // The bytes from base to the highest written address, gaps filled with 0xFF (erased
    // flash). False when something was written below base.
    bool ToBinary(std::uint32_t base, std::string& out) const;

    bool operator==(const MemoryImage& other) const { return runs_ == other.runs_; }

private:
    // Each run's bytes by its first address; runs neither overlap nor touch.
    std::map<std::uint32_t, std::vector<std::uint8_t>> runs_;
};

// Applies records to an image the way the bootloader's flash writer does: data records at
// the current base plus their offset (wrapping within the 64 KiB window), 02 and 04 records
// move the base, the others write nothing.
class ImageBuilder {
public:
    explicit ImageBuilder(MemoryImage& image) : image_(image) {}
    void Apply(const Record& r);
    void Reset() { base_ = 0; }

private:
    MemoryImage& image_;
    std::uint32_t base_ = 0;
};

// The lines of an update file that a host sends, in order and exactly as they stand: lines
// end in CR or CR LF (a lone LF stays in its line); the firmware version line (starting
// with V) and empty lines are not sent.
std::vector<std::string> UpdateDataLines(std::string_view fileText);
// The firmware version an update file announces: its V line without the V; empty if none.
std::string UpdateFirmwareVersion(std::string_view fileText);

// The image an update file flashes. Returns false and says why when a data line is not a
// valid record.
bool ImageOfUpdate(std::string_view fileText, MemoryImage& out, std::string* error = nullptr);
bool ImageOfUpdateFile(const std::string& path, MemoryImage& out, std::string* error = nullptr);

// A made-up update file: a V line, an extended linear address record, dataRecords 16-byte
// records of deterministic content (another 04 record at every 64 KiB boundary) and the
// end-of-file record, each line ended by CR LF.
std::string MakeSampleUpdate(int dataRecords, const std::string& firmwareVersion = "2.10");

// Formats one record (upper-case hex, checksum computed).
std::string FormatRecord(std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
                         std::size_t n);

bool ReadFile(const std::string& path, std::string& out, std::string* error = nullptr);
bool WriteFile(const std::string& path, std::string_view data, std::string* error = nullptr);

}  // namespace bootsim
