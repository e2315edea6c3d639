#pragma once

// The line trace: one text line per read or write on the line, so a test can assert exactly
// what went over it and a person can read it.
//
//   <microseconds since start> RX|TX <bytes>
//   <microseconds since start> -- <what the simulator did>
//
// Bytes are written as they are when printable ASCII (space included); a backslash is
// doubled and anything else is \xNN.

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace bootsim {

std::string EscapeBytes(std::string_view bytes);

class Trace {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    Trace() = default;
    ~Trace() { Close(); }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    bool Open(const std::string& path, TimePoint origin);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    void Bytes(TimePoint t, const char* direction, std::string_view bytes);
    void Note(TimePoint t, std::string_view text);
    // Buffered lines reach the file when the line has been quiet for a moment, at the end
    // of a session and on close: a busy line costs no system call per record.
    bool Dirty() const { return dirty_; }
    TimePoint LastWrite() const { return last_write_; }
    void Flush();

private:
    void Line(TimePoint t, const char* tag, std::string_view body);

    std::FILE* file_ = nullptr;
    TimePoint origin_;
    TimePoint last_write_;
    bool dirty_ = false;
    std::string line_;
};

}  // namespace bootsim
