#pragma once

#include <cstdint>
#include <string>
#include <utility>

// Base of every exception the library throws: where it was raised and why.
// Thrown by value, caught by reference. Derived classes add no members.
class Exception {
public:
    Exception(std::string file, std::int32_t line, std::string message)
        : file_(std::move(file)), line_(line), message_(std::move(message)) {}

    // Source path without extension, such as "Network/Server".
    const std::string& file() const { return file_; }
    std::int32_t line() const { return line_; }
    const std::string& message() const { return message_; }

private:
    std::string file_;
    std::int32_t line_;
    std::string message_;
};

#define KIV_DECLARE_EXCEPTION(Name)              \
    class Name : public ::Exception {            \
    public:                                      \
        using ::Exception::Exception;            \
    }
