#include "sim/bus.h"

#include "sim/clock.h"
#include "sim/line.h"
#include "sim/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace kvsim {

namespace {

FaultSetup faultSetup(const Options& o) {
    FaultSetup f;
    f.badCrc = o.badCrc;
    f.silence = o.silence;
    f.exception = o.exception;
    f.garbage = o.garbage;
    f.forgetWrites = o.forgetWrites;
    return f;
}

PacingSetup pacingSetup(const Options& o) {
    PacingSetup p;
    p.turnaroundMs = o.turnaroundMs;
    p.delayMs = o.delayMs;
    p.split = o.split;
    p.splitGapMs = o.splitGapMs;
    return p;
}

} // namespace

Bytes collide(const Bytes& a, const Bytes& b) {
    Bytes out = a.size() >= b.size() ? a : b;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        out[i] = static_cast<uint8_t>(a[i] & b[i]);
    return out;
}

Bus::Bus(const Options& o, PtyLine& line, uint32_t seed)
    : opt_(o), line_(line), faults_(faultSetup(o), seed ^ 0x5A5A5A5Au), pacing_(pacingSetup(o)),
      jitter_(seed ^ 0x0F0F0F0Fu) {
    for (size_t i = 0; i < o.addresses.size(); ++i) {
        SensorSetup s;
        s.address = static_cast<uint8_t>(o.addresses[i]);
        s.moisture = o.moisture;
        s.temperature = o.temperature;
        s.seed = seed + static_cast<uint32_t>(i); // the first sensor drifts as a lone sensor would
        s.echoAddressChange = o.addressEcho;
        sensors_.emplace_back(s);
    }
}

Bytes Bus::answer(const Bytes& request) {
    if (request.size() >= 2 && request[0] == kWhoIsThereAddress && !opt_.answerAddressRead) return {};
    Bytes wire;
    for (Sensor& sensor : sensors_) {
        const Bytes reply = faults_.respond(request, sensor);
        if (!reply.empty()) wire = wire.empty() ? reply : collide(wire, reply);
    }
    return wire;
}

int Bus::run() {
    int64_t lastAdvance = nowUs();
    for (;;) {
        pollfd fds[2] = {{terminationFd(), POLLIN, 0}, {line_.master(), POLLIN, 0}};
        const int timeoutMs =
            assembler_.pending() > 0 ? static_cast<int>(assembler_.gapUs() / 1000) + 1 : 1000;
        const int r = poll(fds, 2, timeoutMs);
        if (r < 0 && errno != EINTR) {
            std::perror("kv7702r-sim: poll");
            return 1;
        }
        if (fds[0].revents) return 0;
        if (r <= 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            assembler_.expire(nowUs());
            continue;
        }
        uint8_t buf[512];
        const ssize_t n = read(line_.master(), buf, sizeof buf);
        if (n <= 0) {
            // Should not happen while we hold the slave open; avoid spinning if it does.
            if ((n == 0 || (errno != EAGAIN && errno != EINTR)) && !waitUntil(nowUs() + 50000)) return 0;
            continue;
        }
        // An echoing adapter hands the bytes straight back, before any sensor can answer.
        if (opt_.echo) writeAll(line_.master(), buf, static_cast<size_t>(n));
        const long baud = line_.baud();
        if (baud > 0) assembler_.setGapUs(interFrameGapUs(baud));
        const int64_t startedUs = assembler_.pending() == 0 ? nowUs() : -1;
        for (const Bytes& request : assembler_.feed(buf, static_cast<size_t>(n), nowUs())) {
            const int64_t now = nowUs();
            for (Sensor& s : sensors_)
                s.advance(static_cast<double>(now - lastAdvance) / 1e6);
            lastAdvance = now;
            if (!handle(request, line_.baud(), startedUs)) return 0;
        }
    }
}

PacingSetup Bus::nextPacing() {
    PacingSetup p = pacing_;
    if (opt_.turnaroundMaxMs > opt_.turnaroundMs)
        p.turnaroundMs =
            std::uniform_real_distribution<double>(opt_.turnaroundMs, opt_.turnaroundMaxMs)(jitter_);
    if (opt_.lateEvery > 0 && ++replies_ % opt_.lateEvery == 0) p.delayMs += opt_.lateByMs;
    return p;
}

bool Bus::handle(const Bytes& request, long baud, int64_t startedUs) {
    const int64_t received = nowUs();
    if (opt_.verbose) logFrame("<<", request);
    const long gapBaud = baud > 0 ? baud : kFallbackPaceBaud;
    if (opt_.strictGap && startedUs >= 0 &&
        startedUs - lastReplyEndUs_ < static_cast<int64_t>(3.5 * 10 * 1e6 / static_cast<double>(gapBaud))) {
        // A real sensor still takes it for part of the frame before: no answer.
        if (opt_.verbose) logFrame("!! too soon", request);
        return true;
    }
    // A sensor behind a different rate would only see noise.
    if (opt_.baud != 0 && baud != opt_.baud) return true;
    const Bytes reply = faults_.disturb(answer(request), request);
    if (reply.empty()) return true;
    // Timed before the last write: a sim descheduled after it must not see a prompt request as too soon.
    if (!sendReply(line_.master(), reply, request.size(), received, baud, nextPacing(), &lastReplyEndUs_))
        return false;
    if (opt_.verbose) logFrame(">>", reply);
    return true;
}

} // namespace kvsim
