#include "apps/kivframe/OutputFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace KivFrame {

OutputFile::OutputFile(const std::string& path, const std::string& what) : path_(path), what_(what)
{
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
}

OutputFile::~OutputFile()
{
    close(fd_);
}

bool OutputFile::write(const void* bytes, std::size_t size)
{
    if (!ok())
        return false;
    const char* data = static_cast<const char*>(bytes);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd_, data + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = "cannot write the " + what_ + " " + path_ + ": " + std::strerror(n < 0 ? errno : EIO);
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace KivFrame
