#pragma once

// Helpers to run kv7702r-sim as a child process and talk to it like a serial port.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace simtest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Deadlines are generous: these run on small CI machines under sanitizers.
constexpr milliseconds kStartupDeadline{10000};
constexpr milliseconds kReplyDeadline{5000};

inline int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class TempDir {
  public:
    TempDir() {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kvsim-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            path_ = buf.data();
    }
    ~TempDir() {
        for (const auto &f : files_)
            unlink(f.c_str());
        if (!path_.empty())
            rmdir(path_.c_str());
    }
    bool ok() const { return !path_.empty(); }
    // A path inside the directory, removed again on destruction.
    std::string file(const std::string &name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

  private:
    std::string path_;
    std::vector<std::string> files_;
};

// Waits for a child to exit; the exit status, or nullopt at the deadline.
inline std::optional<int> waitExit(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(5)); // polling interval, not a synchronisation delay
    }
}

inline std::string readFile(const std::string &path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

// How often `what` stands in `text`.
inline int countOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
}

inline std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// Spawns a program with stdout on a pipe and stderr in a file.
class Child {
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitExit(pid_, Clock::now() + kStartupDeadline);
        }
        if (out_ >= 0)
            close(out_);
    }

    // Empty string on success, else the reason. stdin comes from stdinPath when given;
    // stdout goes to stdoutPath when given (a file, as with a shell's >), else to a pipe.
    std::string start(const std::string &program, const std::vector<std::string> &args,
                      const std::string &stderrPath, bool searchPath = false, const std::string &stdinPath = {},
                      const std::string &stdoutPath = {}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return std::strerror(errno);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (stdoutPath.empty())
            posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0600);
        if (!stdinPath.empty())
            posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, stdinPath.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = searchPath ? posix_spawnp(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ)
                                  : posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        out_ = fds[0];
        if (rc != 0) {
            pid_ = -1;
            return "cannot start " + program + ": " + std::strerror(rc);
        }
        stderrPath_ = stderrPath;
        return {};
    }

    // Next stdout line without the newline, or nullopt at the deadline or end of output.
    std::optional<std::string> readLine(Clock::time_point deadline) {
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, remainingMs(deadline)) <= 0)
                return std::nullopt;
            char buf[1024];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0)
                return std::nullopt;
            buffer_.append(buf, static_cast<size_t>(n));
        }
    }

    // Reads all output until the child closes stdout or the deadline passes.
    std::string readAll(Clock::time_point deadline) {
        std::string all;
        while (auto line = readLine(deadline))
            all += *line + "\n";
        return all + buffer_;
    }

    std::optional<int> wait(Clock::time_point deadline) {
        auto status = waitExit(pid_, deadline);
        if (status)
            pid_ = -1;
        return status;
    }

    std::optional<int> terminate(int sig = SIGTERM) {
        if (pid_ <= 0)
            return std::nullopt;
        kill(pid_, sig);
        return wait(Clock::now() + kStartupDeadline);
    }

    std::string stderrText() const { return readFile(stderrPath_); }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::string stderrPath_;
};

inline speed_t speedConstant(int baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

// The tool's side of the line: a raw 8N1 serial port opened through the link.
class SerialLine {
  public:
    ~SerialLine() { close(); }

    bool open(const std::string &path, int baud) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0 && setBaud(baud);
    }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool setBaud(int baud) {
        termios t{};
        if (tcgetattr(fd_, &t) != 0)
            return false;
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~(PARENB | CSTOPB);
        cfsetispeed(&t, speedConstant(baud));
        cfsetospeed(&t, speedConstant(baud));
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    bool send(const Bytes &b) {
        const auto deadline = Clock::now() + kReplyDeadline;
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, remainingMs(deadline)) <= 0)
                return false;
        }
        return true;
    }
    // Reads until `count` bytes arrived or the deadline passed; returns what arrived.
    Bytes receive(size_t count, Clock::time_point deadline) {
        Bytes got;
        while (got.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, remainingMs(deadline)) <= 0)
                break;
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
        return got;
    }
    // True when nothing arrives within the window.
    bool quietFor(milliseconds window) { return receive(1, Clock::now() + window).empty(); }
    Bytes transact(const Bytes &request, size_t replySize) {
        if (!send(request))
            return {};
        return receive(replySize, Clock::now() + kReplyDeadline);
    }

    // True when the other end closes within the deadline (any bytes before are dropped).
    bool closedBy(Clock::time_point deadline) {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, remainingMs(deadline)) <= 0) return false;
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
        }
    }
    // Adopts a connected socket.
    void adopt(int fd) {
        close();
        fd_ = fd;
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }

private:
    int fd_ = -1;
};

// A TCP connection to the sim on the loopback, spoken to like a serial line.
inline bool connectTcp(SerialLine& line, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    line.adopt(fd);
    return true;
}

// A server a dialing sim connects to.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        if (fd_ >= 0) ::close(fd_);
    }
    int port() const { return port_; }
    // The next connection, or false at the deadline.
    bool accept(SerialLine& line, Clock::time_point deadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) return false;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return false;
        line.adopt(fd);
        return true;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace simtest
