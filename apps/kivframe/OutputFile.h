#pragma once

// A file the emulator writes its records to (the log, the capture): created
// or truncated when opened, written in whole pieces. After a failed write
// nothing more is written and error() says why.

#include <cstddef>
#include <string>

namespace KivFrame {

class OutputFile {
public:
    // `what` names the file in the error ("log", "capture"). Throws
    // std::runtime_error when the file cannot be opened.
    OutputFile(const std::string& path, const std::string& what);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all `size` bytes, across short writes and signals. False when
    // the file refused them, or refused an earlier write.
    bool write(const void* bytes, std::size_t size);

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string what_;
    std::string error_;
};

} // namespace KivFrame
