#pragma once

#include <QString>

#include <exception>
#include <string>

// The one exception of the program. A serial operation, a file operation or a checked
// 16-bit counter raises it; the update run catches it and shows the message of the failure
// region in force. Expected conditions (no reply, a bad reply token, Cancel) are never
// failures: they are ordinary results tested in the normal flow.
class Failure : public std::exception {
public:
    explicit Failure(QString reason) : reason_(std::move(reason)), what_(reason_.toStdString()) {}

    const QString& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    QString reason_;
    std::string what_;
};
