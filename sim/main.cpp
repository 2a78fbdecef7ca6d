// kv7702r-sim: virtual KV7702R sensors answering Modbus RTU on a pseudo terminal, behind a
// serial device server or a Modbus-TCP gateway, or behind a DTU that dials in.

#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/line.h"
#include "sim/net.h"
#include "sim/options.h"
#include "sim/serve.h"

#include <cstdio>
#include <random>
#include <unistd.h>

namespace {

// The one line scripts wait for, flushed at once.
void ready(const std::string& what) {
    std::printf("ready %s\n", what.c_str());
    std::fflush(stdout);
}

int fail(const std::string& why) {
    std::fprintf(stderr, "kv7702r-sim: %s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    kvsim::Options opt;
    const kvsim::ParseResult parsed = kvsim::parseOptions(argc, argv, opt);
    if (parsed.outcome == kvsim::ParseResult::Help) {
        std::fputs(parsed.text.c_str(), stdout);
        return 0;
    }
    if (parsed.outcome == kvsim::ParseResult::Error) {
        std::fprintf(stderr, "kv7702r-sim: %s", parsed.text.c_str());
        return 2;
    }
    if (!kvsim::installTerminationSignals()) {
        std::perror("kv7702r-sim: pipe");
        return 1;
    }
    kvsim::Bus bus(opt, opt.seed ? *opt.seed : std::random_device{}());

    if (opt.mode == kvsim::Mode::Dial) {
        ready("dial " + kvsim::endpointText(opt.endpoint));
        return kvsim::serveDial(bus, opt);
    }
    if (opt.mode != kvsim::Mode::Pty) {
        std::string err;
        const int fd = kvsim::listenOn(opt.endpoint, err);
        if (fd < 0) return fail(err);
        ready(std::string(opt.mode == kvsim::Mode::Tcp ? "tcp " : "modbus-tcp ") + kvsim::localName(fd));
        return kvsim::serveListener(bus, fd, opt);
    }

    kvsim::PtyLine line;
    std::string err = line.open();
    if (!err.empty()) return fail(err);
    kvsim::Link link;
    err = link.create(opt.link, line.slaveName());
    if (!err.empty()) return fail(err);
    ready(opt.link + " -> " + line.slaveName());
    const int rc = kvsim::servePty(bus, line, opt);
    link.remove();
    return rc;
}
