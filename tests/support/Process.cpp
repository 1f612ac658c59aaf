#include "support/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef KIV_BIN_DIR
#error "KIV_BIN_DIR must name the directory of the built programs"
#endif

namespace kivtest {

namespace {

const char* windowsBinDir()
{
    const char* dir = std::getenv("KIV_WINDOWS_BIN_DIR");
    return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

bool isWindowsProgram(const std::string& path)
{
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0;
}

// Windows programs end their lines with "\r\n".
std::string withoutCarriageReturns(std::string text)
{
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos)
        text.erase(at, 1);
    return text;
}

} // namespace

std::string binDir() { return KIV_BIN_DIR; }

bool underWine() { return windowsBinDir() != nullptr; }

std::string program(const std::string& name)
{
    if (underWine() && (name == "kivcast" || name == "kivprobe"))
        return std::string(windowsBinDir()) + "/" + name + ".exe";
    return binDir() + "/" + name;
}

std::string tempPath(const std::string& stem)
{
    std::string pattern = "/tmp/kivtest-" + stem + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    return pattern;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {
pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath)
{
    std::vector<char*> args;
    static const std::string wineRun = KIV_WINE_RUN;
    if (!argv.empty() && isWindowsProgram(argv[0]))
        args.push_back(const_cast<char*>(wineRun.c_str()));
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(devNull, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int decode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}
} // namespace

ProcessResult run(const std::vector<std::string>& argv, std::chrono::milliseconds limit)
{
    Background process(argv);
    return process.wait(limit);
}

Background::Background(const std::vector<std::string>& argv)
    : outPath_(tempPath("out")), errPath_(tempPath("err")), started_(std::chrono::steady_clock::now()),
      windows_(!argv.empty() && isWindowsProgram(argv[0]))
{
    pid_ = spawn(argv, outPath_, errPath_);
}

Background::~Background()
{
    if (!done_)
        stop(std::chrono::milliseconds(500));
    std::remove(outPath_.c_str());
    std::remove(errPath_.c_str());
}

bool Background::running()
{
    if (done_)
        return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        collect(status, false);
        return false;
    }
    return true;
}

ProcessResult Background::collect(int status, bool timedOut)
{
    done_ = true;
    result_.exitCode = decode(status);
    result_.timedOut = timedOut;
    result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    result_.out = readFile(outPath_);
    result_.err = readFile(errPath_);
    if (windows_) {
        result_.out = withoutCarriageReturns(result_.out);
        result_.err = withoutCarriageReturns(result_.err);
    }
    return result_;
}

ProcessResult Background::waitUntil(std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            return collect(status, false);
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            return collect(status, true);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ProcessResult Background::wait(std::chrono::milliseconds limit)
{
    if (done_)
        return result_;
    return waitUntil(std::chrono::steady_clock::now() + limit);
}

ProcessResult Background::stop(std::chrono::milliseconds grace)
{
    if (done_)
        return result_;
    kill(pid_, SIGTERM);
    return waitUntil(std::chrono::steady_clock::now() + grace);
}

} // namespace kivtest
