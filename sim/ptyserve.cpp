#include "sim/serve.h"

#include "sim/clock.h"
#include "sim/line.h"
#include "sim/log.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace kvsim {

namespace {

LineTiming timingOf(const LineSettings& s) {
    return {s.baud > 0 ? s.baud : kFallbackPaceBaud, characterBits(s.parity != Parity::None, s.stopBits)};
}

// A sensor set to another rate or character format would only hear noise.
bool heardAs(const Options& o, const LineSettings& s) {
    return (o.baud == 0 || s.baud == o.baud) && (!o.parity || s.parity == *o.parity) &&
           (!o.stopBits || s.stopBits == *o.stopBits);
}

} // namespace

int servePty(Bus& bus, PtyLine& line, const Options& opt) {
    FrameAssembler assembler;
    int64_t lastReplyEndUs = 0;
    for (;;) {
        pollfd fds[2] = {{terminationFd(), POLLIN, 0}, {line.master(), POLLIN, 0}};
        const int timeoutMs = assembler.pending() > 0 ? static_cast<int>(assembler.gapUs() / 1000) + 1 : 1000;
        const int r = poll(fds, 2, timeoutMs);
        if (r < 0 && errno != EINTR) {
            std::perror("kv7702r-sim: poll");
            return 1;
        }
        if (fds[0].revents) return 0;
        if (r <= 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            assembler.expire(nowUs());
            continue;
        }
        uint8_t buf[512];
        const ssize_t n = read(line.master(), buf, sizeof buf);
        if (n <= 0) {
            // Should not happen while we hold the slave open; avoid spinning if it does.
            if ((n == 0 || (errno != EAGAIN && errno != EINTR)) && !waitUntil(nowUs() + 50000)) return 0;
            continue;
        }
        // An echoing adapter hands the bytes straight back, before any sensor can answer.
        if (opt.echo) writeAll(line.master(), buf, static_cast<size_t>(n));
        const LineSettings settings = line.settings();
        const LineTiming timing = timingOf(settings);
        if (settings.baud > 0) assembler.setGapUs(interFrameGapUs(settings.baud, timing.charBits));
        const int64_t startedUs = assembler.pending() == 0 ? nowUs() : -1;
        for (const Bytes& request : assembler.feed(buf, static_cast<size_t>(n), nowUs())) {
            const int64_t received = nowUs();
            if (opt.verbose) logFrame("<<", request);
            if (opt.strictGap && startedUs >= 0 &&
                static_cast<double>(startedUs - lastReplyEndUs) < tooSoonUs(timing)) {
                // A real sensor still takes it for part of the frame before: no answer.
                if (opt.verbose) logFrame("!! too soon", request);
                continue;
            }
            if (!heardAs(opt, settings)) continue;
            const Bytes reply = bus.serve(request, received);
            if (reply.empty()) continue;
            // Timed before the last write: a sim descheduled after it must not see a prompt request as too
            // soon.
            const Delivery delivery{reply, request.size(), reply.size()};
            if (sendReply(line.master(), delivery, received, timing, bus.nextPacing(), &lastReplyEndUs) ==
                SendResult::Interrupted)
                return 0;
            if (opt.verbose) logFrame(">>", reply);
        }
    }
}

} // namespace kvsim
