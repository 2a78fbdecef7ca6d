// kv7702r-sim: a virtual KV7702R sensor answering Modbus RTU on a pseudo terminal.

#include "sim/rtu.h"
#include "sim/sensor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using kvsim::Bytes;

const char *const kUsage =
    "usage: kv7702r-sim --link PATH [options]\n"
    "\n"
    "Virtual KV7702R soil-moisture/PT100 sensor speaking Modbus RTU on a pseudo terminal.\n"
    "PATH becomes a symlink to the terminal; open it with the tool like a serial port.\n"
    "\n"
    "  --link PATH          symlink to create (an existing symlink is replaced)\n"
    "  --address N          device address 1..247 (default 1)\n"
    "  --baud N             answer only when the line is set to N baud (default: any)\n"
    "  --turnaround MS      pause between request and reply (default 5)\n"
    "  --delay MS           extra pause before each reply (default 0)\n"
    "  --moisture PCT       fixed true moisture, no drift or noise\n"
    "  --temperature C      fixed true temperature, no drift or noise\n"
    "  --seed N             seed for drift, noise and faults\n"
    "  --bad-crc RATE       probability 0..1 of a corrupted reply CRC\n"
    "  --silence RATE       probability 0..1 of not answering\n"
    "  --exception RATE     probability 0..1 of answering with exception 04\n"
    "  --split N            send each reply in N pieces (default 1)\n"
    "  --split-gap MS       pause between pieces (default 30)\n"
    "  --garbage N          append N random bytes to each reply\n"
    "  --address-echo       answer an address change with the standard echo of the\n"
    "                       request (default: the 6-byte reply old 06 01 new CRC)\n"
    "  --verbose            log requests (<<) and replies (>>) to stdout\n"
    "  --help               show this text\n";

struct Options {
    std::string link;
    int address = 1;
    long baud = 0;
    double turnaroundMs = 5.0;
    double delayMs = 0.0;
    std::optional<double> moisture;
    std::optional<double> temperature;
    std::optional<uint32_t> seed;
    double badCrc = 0.0;
    double silence = 0.0;
    double exception = 0.0;
    int split = 1;
    double splitGapMs = 30.0;
    int garbage = 0;
    bool verbose = false;
    bool addressEcho = false;
};

bool parseNumber(const char *text, double lo, double hi, double &out) {
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parseInteger(const char *text, long lo, long hi, long &out) {
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

// Returns an error message, empty on success.
std::string parseOptions(int argc, char **argv, Options &o, bool &help) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            help = true;
            return {};
        }
        if (name == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (name == "--address-echo") {
            o.addressEcho = true;
            continue;
        }
        if (i + 1 >= argc)
            return name.rfind("--", 0) == 0 ? "missing value for " + name : "unexpected argument " + name;
        const char *value = argv[++i];
        const std::string bad = "invalid value for " + name + ": '" + value + "'";
        double d = 0;
        long n = 0;
        if (name == "--link") {
            if (!*value)
                return bad;
            o.link = value;
        } else if (name == "--address") {
            if (!parseInteger(value, 1, 247, n))
                return bad + " (1..247)";
            o.address = static_cast<int>(n);
        } else if (name == "--baud") {
            if (!parseInteger(value, 50, 4000000, n))
                return bad;
            o.baud = n;
        } else if (name == "--turnaround" || name == "--delay" || name == "--split-gap") {
            if (!parseNumber(value, 0, 60000, d))
                return bad + " (milliseconds 0..60000)";
            (name == "--turnaround" ? o.turnaroundMs : name == "--delay" ? o.delayMs : o.splitGapMs) = d;
        } else if (name == "--moisture") {
            if (!parseNumber(value, 0, 100, d))
                return bad + " (0..100)";
            o.moisture = d;
        } else if (name == "--temperature") {
            if (!parseNumber(value, -200, 850, d))
                return bad + " (-200..850)";
            o.temperature = d;
        } else if (name == "--seed") {
            if (!parseInteger(value, 0, 4294967295L, n))
                return bad;
            o.seed = static_cast<uint32_t>(n);
        } else if (name == "--bad-crc" || name == "--silence" || name == "--exception") {
            if (!parseNumber(value, 0, 1, d))
                return bad + " (0..1)";
            (name == "--bad-crc" ? o.badCrc : name == "--silence" ? o.silence : o.exception) = d;
        } else if (name == "--split") {
            if (!parseInteger(value, 1, 256, n))
                return bad + " (1..256)";
            o.split = static_cast<int>(n);
        } else if (name == "--garbage") {
            if (!parseInteger(value, 0, 4096, n))
                return bad + " (0..4096)";
            o.garbage = static_cast<int>(n);
        } else {
            return "unknown option " + name;
        }
    }
    if (o.link.empty())
        return "--link PATH is required";
    return {};
}

int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int) {
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &c, 1);
    errno = saved;
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool signalled() {
    pollfd p{g_signalPipe[0], POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// Sleeps until the deadline; false when a termination signal arrived first.
bool waitUntil(int64_t deadlineUs) {
    for (;;) {
        const int64_t left = deadlineUs - nowUs();
        if (left <= 0)
            return !signalled();
        pollfd p{g_signalPipe[0], POLLIN, 0};
        timespec ts{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r > 0)
            return false;
    }
}

long lineBaud(int fd) {
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
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return 0;
    const speed_t code = cfgetospeed(&t);
    for (const auto &r : kRates)
        if (r.code == code)
            return r.baud;
    return 0; // B0 or a custom rate
}

void logFrame(const char *direction, const Bytes &bytes) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d %s", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms), direction);
    std::string line = stamp;
    static const char kHex[] = "0123456789ABCDEF";
    for (uint8_t b : bytes) {
        line += ' ';
        line += kHex[b >> 4];
        line += kHex[b & 0xF];
    }
    line += '\n';
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

// Writes one byte-range; false when the reader has stopped draining the terminal for a second.
bool writeAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 1000) <= 0)
            return false;
    }
    return true;
}

// Writes each byte no earlier than a line at this rate would have finished transmitting it
// (10 bits per byte). False when interrupted by a signal.
bool sendPaced(int fd, const uint8_t *data, size_t size, long baud) {
    const double byteUs = 10.0 * 1e6 / static_cast<double>(baud);
    const int64_t start = nowUs();
    size_t sent = 0;
    while (sent < size) {
        const auto due = static_cast<size_t>(static_cast<double>(nowUs() - start) / byteUs);
        const size_t upTo = std::min(size, due);
        if (upTo > sent) {
            if (!writeAll(fd, data + sent, upTo - sent))
                return true; // nobody is listening; drop the rest like a line would
            sent = upTo;
            continue;
        }
        if (!waitUntil(start + static_cast<int64_t>(std::ceil(static_cast<double>(sent + 1) * byteUs))))
            return false;
    }
    return true;
}

class Link {
  public:
    ~Link() { remove(); }
    std::string create(const std::string &path, const std::string &target) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return path + " exists and is not a symlink; refusing to replace it";
            if (unlink(path.c_str()) != 0)
                return "cannot remove old symlink " + path + ": " + std::strerror(errno);
        }
        if (symlink(target.c_str(), path.c_str()) != 0)
            return "cannot create symlink " + path + ": " + std::strerror(errno);
        path_ = path;
        target_ = target;
        return {};
    }
    void remove() {
        if (path_.empty())
            return;
        // Leave the path alone if someone re-pointed it meanwhile.
        char buf[PATH_MAX];
        const ssize_t n = readlink(path_.c_str(), buf, sizeof buf - 1);
        if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target_)
            unlink(path_.c_str());
        path_.clear();
    }

  private:
    std::string path_;
    std::string target_;
};

class Simulator {
  public:
    Simulator(const Options &o, int master, uint32_t seed)
        : opt_(o), master_(master), sensor_(setup(o, seed)), faultRng_(seed ^ 0x5A5A5A5Au) {}

    int run() {
        int64_t lastAdvance = nowUs();
        for (;;) {
            pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {master_, POLLIN, 0}};
            const int timeoutMs =
                assembler_.pending() > 0 ? static_cast<int>(assembler_.gapUs() / 1000) + 1 : 1000;
            const int r = poll(fds, 2, timeoutMs);
            if (r < 0 && errno != EINTR) {
                std::perror("kv7702r-sim: poll");
                return 1;
            }
            if (fds[0].revents)
                return 0;
            if (r <= 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                assembler_.expire(nowUs());
                continue;
            }
            uint8_t buf[512];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) {
                // Should not happen while we hold the slave open; avoid spinning if it does.
                if ((n == 0 || (errno != EAGAIN && errno != EINTR)) && !waitUntil(nowUs() + 50000))
                    return 0;
                continue;
            }
            const long baud = lineBaud(master_);
            if (baud > 0)
                assembler_.setGapUs(std::max<int64_t>(kvsim::FrameAssembler::kDefaultGapUs,
                                                      static_cast<int64_t>(3.5 * 11 * 1e6 / baud)));
            for (const Bytes &request : assembler_.feed(buf, static_cast<size_t>(n), nowUs())) {
                const int64_t now = nowUs();
                sensor_.advance(static_cast<double>(now - lastAdvance) / 1e6);
                lastAdvance = now;
                if (!handle(request, lineBaud(master_)))
                    return 0;
            }
        }
    }

  private:
    static kvsim::SensorSetup setup(const Options &o, uint32_t seed) {
        kvsim::SensorSetup s;
        s.address = static_cast<uint8_t>(o.address);
        s.moisture = o.moisture;
        s.temperature = o.temperature;
        s.seed = seed;
        s.echoAddressChange = o.addressEcho;
        return s;
    }

    bool chance(double rate) {
        if (rate <= 0.0)
            return false;
        return rate >= 1.0 || std::uniform_real_distribution<double>(0.0, 1.0)(faultRng_) < rate;
    }

    // False when interrupted by a termination signal.
    bool handle(const Bytes &request, long baud) {
        const int64_t received = nowUs();
        if (opt_.verbose)
            logFrame("<<", request);
        // A sensor behind a different rate would only see noise.
        if (opt_.baud != 0 && baud != opt_.baud)
            return true;
        Bytes reply = kvsim::respond(request, sensor_);
        if (reply.empty() || chance(opt_.silence))
            return true;
        if (chance(opt_.exception))
            reply = kvsim::exceptionReply(reply[0], request[1], kvsim::exc::kDeviceFailure);
        if (chance(opt_.badCrc))
            reply[reply.size() - 2] ^= 0x5A;
        for (int i = 0; i < opt_.garbage; ++i)
            reply.push_back(static_cast<uint8_t>(faultRng_() & 0xFF));

        const long paceBaud = baud > 0 ? baud : 9600;
        // The pty hands over the request at once; a real line would still be carrying it,
        // and a slave knows the frame has ended only after 3.5 characters of silence.
        const double requestUs =
            static_cast<double>(request.size()) * 10.0 * 1e6 / static_cast<double>(paceBaud);
        const double frameGapUs = 3.5 * 11.0 * 1e6 / static_cast<double>(paceBaud);
        if (!waitUntil(received + static_cast<int64_t>(requestUs + frameGapUs +
                                                       (opt_.turnaroundMs + opt_.delayMs) * 1000.0)))
            return false;
        const size_t pieces = std::min(reply.size(), static_cast<size_t>(opt_.split));
        size_t offset = 0;
        for (size_t i = 0; i < pieces; ++i) {
            const size_t len = reply.size() / pieces + (i < reply.size() % pieces ? 1 : 0);
            if (i > 0 && !waitUntil(nowUs() + static_cast<int64_t>(opt_.splitGapMs * 1000.0)))
                return false;
            if (!sendPaced(master_, reply.data() + offset, len, paceBaud))
                return false;
            offset += len;
        }
        if (opt_.verbose)
            logFrame(">>", reply);
        return true;
    }

    const Options &opt_;
    int master_;
    kvsim::Sensor sensor_;
    kvsim::FrameAssembler assembler_;
    std::mt19937 faultRng_;
};

int runSimulator(const Options &opt) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "kv7702r-sim: openpty: %s\n", std::strerror(errno));
        return 1;
    }
    char slaveName[PATH_MAX] = {};
    if (ttyname_r(slave, slaveName, sizeof slaveName) != 0) {
        std::fprintf(stderr, "kv7702r-sim: ttyname: %s\n", std::strerror(errno));
        return 1;
    }
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);

    Link link;
    const std::string err = link.create(opt.link, slaveName);
    if (!err.empty()) {
        std::fprintf(stderr, "kv7702r-sim: %s\n", err.c_str());
        return 1;
    }
    std::printf("ready %s -> %s\n", opt.link.c_str(), slaveName);
    std::fflush(stdout);

    Simulator sim(opt, master, opt.seed ? *opt.seed : std::random_device{}());
    const int rc = sim.run();
    link.remove();
    close(slave);
    close(master);
    return rc;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    bool help = false;
    const std::string err = parseOptions(argc, argv, opt, help);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!err.empty()) {
        std::fprintf(stderr, "kv7702r-sim: %s\n\n%s", err.c_str(), kUsage);
        return 2;
    }

    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("kv7702r-sim: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    return runSimulator(opt);
}
