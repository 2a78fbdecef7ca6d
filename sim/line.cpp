#include "sim/line.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kvsim {

long customBaud(int fd); // custombaud.cpp

std::string Link::create(const std::string& path, const std::string& target) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) return path + " exists and is not a symlink; refusing to replace it";
        if (unlink(path.c_str()) != 0)
            return "cannot remove old symlink " + path + ": " + std::strerror(errno);
    }
    if (symlink(target.c_str(), path.c_str()) != 0)
        return "cannot create symlink " + path + ": " + std::strerror(errno);
    path_ = path;
    target_ = target;
    return {};
}

void Link::remove() {
    if (path_.empty()) return;
    char buf[PATH_MAX];
    const ssize_t n = readlink(path_.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target_) unlink(path_.c_str());
    path_.clear();
}

PtyLine::~PtyLine() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

std::string PtyLine::open() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
        return std::string("openpty: ") + std::strerror(errno);
    char name[PATH_MAX] = {};
    if (ttyname_r(slave_, name, sizeof name) != 0) return std::string("ttyname: ") + std::strerror(errno);
    slaveName_ = name;
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    return {};
}

LineSettings PtyLine::settings() const {
    static const struct {
        speed_t code;
        long baud;
    } kRates[] = {{B50, 50},           {B75, 75},          {B110, 110},         {B134, 134},
                  {B150, 150},         {B200, 200},        {B300, 300},         {B600, 600},
                  {B1200, 1200},       {B1800, 1800},      {B2400, 2400},       {B4800, 4800},
                  {B9600, 9600},       {B19200, 19200},    {B38400, 38400},     {B57600, 57600},
                  {B115200, 115200},   {B230400, 230400},  {B460800, 460800},   {B500000, 500000},
                  {B576000, 576000},   {B921600, 921600},  {B1000000, 1000000}, {B1152000, 1152000},
                  {B1500000, 1500000}, {B2000000, 2000000}};
    LineSettings line;
    termios t{};
    if (tcgetattr(master_, &t) != 0) return line;
    const speed_t code = cfgetospeed(&t);
    for (const auto& r : kRates)
        if (r.code == code) line.baud = r.baud;
    if (line.baud == 0) line.baud = customBaud(master_);
    if ((t.c_cflag & PARENB) || (t.c_iflag & INPCK))
        line.parity = (t.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
    line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return line;
}

bool writeAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) <= 0) return false;
    }
    return true;
}

} // namespace kvsim
