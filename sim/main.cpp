// kv7702r-sim: virtual KV7702R sensors answering Modbus RTU on a pseudo terminal.

#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/line.h"
#include "sim/options.h"

#include <cstdio>
#include <random>

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

    kvsim::PtyLine line;
    std::string err = line.open();
    if (!err.empty()) {
        std::fprintf(stderr, "kv7702r-sim: %s\n", err.c_str());
        return 1;
    }
    kvsim::Link link;
    err = link.create(opt.link, line.slaveName());
    if (!err.empty()) {
        std::fprintf(stderr, "kv7702r-sim: %s\n", err.c_str());
        return 1;
    }
    std::printf("ready %s -> %s\n", opt.link.c_str(), line.slaveName().c_str());
    std::fflush(stdout);

    kvsim::Bus bus(opt, line, opt.seed ? *opt.seed : std::random_device{}());
    const int rc = bus.run();
    link.remove();
    return rc;
}
