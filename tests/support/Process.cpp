#include "support/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
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

// A command that starts a Windows program.
bool isWindowsCommand(const std::vector<std::string>& argv)
{
    return !argv.empty() && argv[0].size() > 4 && argv[0].compare(argv[0].size() - 4, 4, ".exe") == 0;
}

// The command that runs a program: a Windows program through scripts/wine-run.
std::vector<std::string> commandFor(const std::vector<std::string>& argv)
{
    std::vector<std::string> command;
    if (isWindowsCommand(argv))
        command.push_back(KIV_WINE_RUN);
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

// A program's output with its lines ended by "\n": Windows programs end them with "\r\n".
std::string asWritten(bool windows, std::string text)
{
    if (!windows)
        return text;
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos)
        text.erase(at, 1);
    return text;
}

// The arguments of execv, made before fork(): the child of a process with
// threads must not allocate.
std::vector<char*> execArguments(const std::vector<std::string>& command)
{
    std::vector<char*> args;
    for (const auto& a : command)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

} // namespace

std::string binDir() { return KIV_BIN_DIR; }

bool underWine() { return windowsBinDir() != nullptr; }

std::string program(const std::string& name)
{
    if (underWine() && (name == "kivcast" || name == "kivprobe" || name == "kivwatch"))
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
// Starts argv with standard input on /dev/null, standard output on `out`
// (closed when `out` is negative) and standard error into the file errPath.
// SIGPIPE is at its default, as a shell leaves it: an ignored one would pass
// to the program through execv, and the program must ignore it itself.
pid_t spawnOnto(const std::vector<std::string>& argv, int out, const std::string& errPath)
{
    const std::vector<std::string> command = commandFor(argv);
    const std::vector<char*> args = execArguments(command);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        const int devNull = open("/dev/null", O_RDONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(devNull, 0);
        if (out >= 0)
            dup2(out, 1);
        else
            close(1);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath)
{
    const int out = open(outPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0)
        throw std::runtime_error("cannot open " + outPath);
    const pid_t pid = spawnOnto(argv, out, errPath);
    close(out);
    return pid;
}

// Waits for the child to end, killing it at the deadline. True when it was killed.
bool reap(pid_t pid, std::chrono::steady_clock::time_point deadline, int& status)
{
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
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

ProcessResult runWithStalledReader(const std::vector<std::string>& argv, std::chrono::milliseconds stall,
                                   std::chrono::milliseconds limit)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096); // the kernel rounds up to its minimum, one page
    const std::string errPath = tempPath("err");
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = spawnOnto(argv, pipeEnds[1], errPath);
    close(pipeEnds[1]);
    std::this_thread::sleep_for(stall);

    ProcessResult result;
    const auto deadline = started + limit;
    char buffer[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable{pipeEnds[0], POLLIN, 0};
        if (poll(&readable, 1, 100) == 0)
            continue;
        const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
        if (n > 0) {
            result.out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // the end: the program closed its output
    }
    close(pipeEnds[0]);
    int status = 0;
    result.timedOut = reap(pid, deadline, status);
    result.exitCode = decode(status);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const bool windows = isWindowsCommand(argv);
    result.out = asWritten(windows, std::move(result.out));
    result.err = asWritten(windows, readFile(errPath));
    std::remove(errPath.c_str());
    return result;
}

ProcessResult runWithUnwritableOutput(const std::vector<std::string>& argv, UnwritableOutput output,
                                      std::chrono::milliseconds limit,
                                      const std::function<bool(const std::string&)>& readUntil)
{
    int out = -1;
    int reader = -1;
    if (output == UnwritableOutput::FullDevice || output == UnwritableOutput::Closed) {
        out = open("/dev/full", O_WRONLY | O_CLOEXEC);
    } else {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) == 0) {
            if (output == UnwritableOutput::PipeClosedLater)
                reader = pipeEnds[0];
            else
                close(pipeEnds[0]);
            out = pipeEnds[1];
        }
    }
    if (out < 0)
        throw std::runtime_error("cannot open the unwritable output");
    const std::string errPath = tempPath("err");
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = spawnOnto(argv, output == UnwritableOutput::Closed ? -1 : out, errPath);
    close(out);
    ProcessResult result;
    if (reader >= 0) {
        // Read until what came is enough, then go away as a pager would.
        char buffer[4096];
        while (!(readUntil && readUntil(result.out)) && std::chrono::steady_clock::now() < started + limit) {
            pollfd readable{reader, POLLIN, 0};
            if (poll(&readable, 1, 100) == 0)
                continue;
            const ssize_t n = read(reader, buffer, sizeof buffer);
            if (n > 0)
                result.out.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
        close(reader);
    }
    int status = 0;
    result.timedOut = reap(pid, started + limit, status);
    result.exitCode = decode(status);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.err = asWritten(isWindowsCommand(argv), readFile(errPath));
    std::remove(errPath.c_str());
    return result;
}

std::vector<std::string> commandOf(const std::string& name, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{program(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ProcessResult run(const std::vector<std::string>& argv, std::chrono::milliseconds limit)
{
    Background process(argv);
    return process.wait(limit);
}

Background::Background(const std::vector<std::string>& argv)
    : outPath_(tempPath("out")), errPath_(tempPath("err")), started_(std::chrono::steady_clock::now()),
      windows_(isWindowsCommand(argv))
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
    result_.out = asWritten(windows_, readFile(outPath_));
    result_.err = asWritten(windows_, readFile(errPath_));
    return result_;
}

ProcessResult Background::waitUntil(std::chrono::steady_clock::time_point deadline)
{
    int status = 0;
    const bool killed = reap(pid_, deadline, status);
    return collect(status, killed);
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
