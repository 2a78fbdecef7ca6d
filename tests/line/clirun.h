#pragma once
// A subcommand of the command line run in this process on the fake line, with its sensors
// modelled, its standard output and error taken. Sensor values are the models': parameter i
// of the sensor at address a holds 100 * (2 + i) + a.

#include "cli/commands.h"
#include "linemodels.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace kv::fake {

struct Ran {
    int code = -1;
    std::string out;
    std::string err;
};

inline std::string readAll(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

// A subcommand run in this process, its standard output and error taken.
inline Ran captured(const std::function<int()>& subcommand) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int savedOut = ::dup(1);
    const int savedErr = ::dup(2);
    ::dup2(::fileno(out), 1);
    ::dup2(::fileno(err), 2);
    Ran r;
    r.code = subcommand();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    r.out = readAll(out);
    r.err = readAll(err);
    return r;
}

// One line, its sensors and a session on it.
struct Bench {
    FakeLine* line;
    std::unique_ptr<Bus> bus;
    std::unique_ptr<cli::Session> session;

    Bench(const Model& model, const std::vector<std::uint8_t>& addresses, cli::CommonOptions o = {}) {
        auto owned = std::make_unique<FakeLine>(19200);
        line = owned.get();
        bus = std::make_unique<Bus>(*line, model, addresses, 1);
        session = std::make_unique<cli::Session>(o, std::move(owned), QStringLiteral("/dev/ttyFake"), 19200);
    }
    int writesOf(std::uint8_t function) const {
        int n = 0;
        for (const auto& w : line->writes())
            n += static_cast<std::uint8_t>(w.bytes[1]) == function;
        return n;
    }
};

inline bool isWrite(const QByteArray& request) {
    return request[1] == 0x06;
}

inline Model prompt() {
    return models()[0];
}

} // namespace kv::fake
