#include "sim/options.h"
#include "kv_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <set>

namespace kvsim {

namespace {

const char* const kUsageLine =
    "usage: kv7702r-sim (--link PATH | --tcp [HOST:]PORT | --modbus-tcp [HOST:]PORT | --dial HOST:PORT)\n"
    "                   [options]\n";

// The help in the sim's own words: a one-line usage and each option with its value name only.
class Formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override { return kUsageLine; }
    std::string make_option_opts(const CLI::Option* opt) const override {
        if (opt->get_type_size() <= 0) return {};
        const std::string name = opt->get_type_name();
        // CLI11 appends ":" and a validator's description; an address's own colon stays.
        const size_t keep = name.find("PORT") != std::string::npos ? name.size() : name.find(':');
        return name.empty() || name[0] == '{' ? std::string() : " " + name.substr(0, keep);
    }
};

const char* const kDescription =
    "Virtual KV7702R soil-moisture/PT100 sensors speaking Modbus RTU on a pseudo terminal\n"
    "(PATH becomes a symlink to it; open it like a serial port), behind a serial device\n"
    "server (--tcp: raw RTU frames over TCP), behind a Modbus-TCP gateway (--modbus-tcp),\n"
    "or behind a DTU that dials a server (--dial). HOST defaults to 127.0.0.1; port 0 picks\n"
    "a free one, shown on the ready line.\n";

void describe(CLI::App& app, Options& o) {
    app.description(kDescription);
    auto fmt = std::make_shared<Formatter>();
    fmt->column_width(24);
    app.formatter(fmt);
    app.set_help_flag("-h,--help", "show this text");
    app.set_version_flag("--version", "kv7702r-sim " KV_VERSION, "show the version");
    // As before CLI11: an option given twice takes its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    auto* link = app.add_option("--link", o.link, "symlink to create (an existing symlink is replaced)")
                     ->type_name("PATH")
                     ->check([](const std::string& v) {
                         return v.empty() ? std::string("must not be empty") : std::string();
                     });
    const auto endpoint = [&app, &o](const char* name, Mode mode, const char* what, const char* typeName) {
        const bool dialing = mode == Mode::Dial;
        return app
            .add_option_function<std::string>(
                name,
                [&o, mode, dialing](const std::string& v) {
                    o.mode = mode;
                    parseEndpoint(v, dialing, o.endpoint);
                },
                what)
            ->type_name(typeName)
            ->check([dialing](const std::string& v) {
                Endpoint e;
                return parseEndpoint(v, dialing, e);
            });
    };
    auto* tcp =
        endpoint("--tcp", Mode::Tcp, "serve raw RTU frames to TCP clients (a device server)", "[HOST:]PORT");
    auto* mbtcp = endpoint("--modbus-tcp", Mode::ModbusTcp, "serve Modbus TCP, a gateway to the sensors",
                           "[HOST:]PORT");
    auto* dial =
        endpoint("--dial", Mode::Dial, "dial HOST:PORT as a DTU and carry raw RTU frames", "HOST:PORT");
    for (CLI::Option* a : {link, tcp, mbtcp, dial})
        for (CLI::Option* b : {link, tcp, mbtcp, dial})
            if (a != b) a->excludes(b);
    app.add_option("--address", o.addresses,
                   "device address 1..247 (default 1); repeat it for several sensors on one line")
        ->type_name("N")
        ->check(CLI::Range(1, 247))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    app.add_flag_callback(
        "--no-address-read", [&o] { o.answerAddressRead = false; },
        "do not answer the address read sent to device 250");
    app.add_option("--baud", o.baud,
                   "answer only when the line is set to N baud (default: any);\n"
                   "TCP modes: the bus's rate behind the server (default 9600)")
        ->type_name("N")
        ->check(CLI::Range(50L, 4000000L));
    app.add_option_function<std::string>(
           "--parity",
           [&o](const std::string& v) {
               o.parity = v == "even" ? Parity::Even : v == "odd" ? Parity::Odd : Parity::None;
           },
           "answer only when the line's parity is this (default: any);\n"
           "TCP modes: the bus's parity (default none)")
        ->type_name("none|even|odd")
        ->check(CLI::IsMember({"none", "even", "odd"}));
    app.add_option("--stop-bits", o.stopBits,
                   "answer only when the line has this many stop bits (default:\n"
                   "any); TCP modes: the bus's (default 1)")
        ->type_name("1|2")
        ->check(CLI::IsMember({1, 2}));
    app.add_option_function<std::string>(
           "--turnaround",
           [&o](const std::string& v) {
               const auto dots = v.find("..");
               o.turnaroundMs = std::stod(v.substr(0, dots));
               o.turnaroundMaxMs = dots == std::string::npos ? o.turnaroundMs : std::stod(v.substr(dots + 2));
           },
           "pause between request and reply (default 5); MS..MS draws each\n"
           "reply's pause between the two")
        ->type_name("MS[..MS]")
        ->check([](const std::string& v) {
            static const std::regex form(R"(\s*(\d+(\.\d*)?)(\.\.(\d+(\.\d*)?))?\s*)");
            std::smatch m;
            if (!std::regex_match(v, m, form)) return std::string("must be MS or MS..MS");
            const double low = std::stod(m[1]);
            const double high = m[4].matched ? std::stod(m[4]) : low;
            return low <= high && high <= 60000.0 ? std::string()
                                                  : std::string("must be 0..60000, low first");
        });
    app.add_option("--late-every", o.lateEvery, "make every Nth reply late by --late-by (default: none)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--late-by", o.lateByMs, "how much later a late reply comes (default 0)")
        ->type_name("MS")
        ->check(CLI::Range(0.0, 60000.0));
    app.add_flag("--echo", o.echo,
                 "echo every byte the tool sends, as a 2-wire RS-485 adapter\n"
                 "without echo suppression does");
    app.add_flag("--strict-gap", o.strictGap,
                 "ignore a request that starts sooner than 3.5 characters after\n"
                 "the last reply ended, as real sensors do (logged as !! too soon)");
    app.add_option("--delay", o.delayMs, "extra pause before each reply (default 0)")
        ->type_name("MS")
        ->check(CLI::Range(0.0, 60000.0));
    app.add_option("--moisture", o.moisture, "fixed true moisture, no drift or noise")
        ->type_name("PCT")
        ->check(CLI::Range(0.0, 100.0));
    app.add_option("--temperature", o.temperature, "fixed true temperature, no drift or noise")
        ->type_name("C")
        ->check(CLI::Range(-200.0, 850.0));
    app.add_option("--seed", o.seed, "seed for drift, noise and faults")->type_name("N");
    app.add_option("--bad-crc", o.badCrc, "probability 0..1 of a corrupted reply CRC")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--silence", o.silence, "probability 0..1 of not answering")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--exception", o.exception, "probability 0..1 of answering with exception 04")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--split", o.split, "send each reply in N pieces (default 1)")
        ->type_name("N")
        ->check(CLI::Range(1, 256));
    app.add_option("--split-gap", o.splitGapMs, "pause between pieces (default 30)")
        ->type_name("MS")
        ->check(CLI::Range(0.0, 60000.0));
    app.add_option("--garbage", o.garbage, "append N random bytes to each reply")
        ->type_name("N")
        ->check(CLI::Range(0, 4096));
    app.add_flag("--forget-writes", o.forgetWrites,
                 "acknowledge parameter writes without storing them (a faulty sensor)");
    app.add_flag("--address-echo", o.addressEcho,
                 "answer an address change with the standard echo of the request\n"
                 "(default: the 6-byte reply old 06 01 new CRC)");
    app.add_flag("--verbose", o.verbose,
                 "log requests (<<), replies (>>), what a DTU sends of its own (->)\n"
                 "and connections (--) to stdout");

    // Connections.
    app.add_option("--drop-after", o.dropAfter, "close each connection after its Nth reply")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--down-for", o.downForMs,
                   "after such a drop, refuse connections for MS, then listen again")
        ->type_name("MS")
        ->check(CLI::Range(0.0, 600000.0));
    app.add_option("--idle-close", o.idleCloseMs,
                   "close a connection that was quiet for MS (no request, no reply)")
        ->type_name("MS")
        ->check(CLI::Range(1.0, 600000.0));
    app.add_option("--stall-after", o.stallAfter,
                   "after its Nth reply a connection is kept open but never answered\n"
                   "again; new connections are answered (--dial: the DTU dials again)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--gateway-timeout", o.gatewayTimeoutMs,
                   "Modbus TCP: how long after a request a silent sensor's\n"
                   "exception 0B comes (default 500)")
        ->type_name("MS")
        ->check(CLI::Range(0.0, 60000.0));
    const auto bytes = [&app](const char* name, Bytes& to, const char* what) {
        return app
            .add_option_function<std::string>(
                name, [&to](const std::string& v) { unescapeBytes(v, to); }, what)
            ->type_name("TEXT")
            ->check([](const std::string& v) {
                Bytes b;
                return unescapeBytes(v, b);
            });
    };
    bytes("--registration", o.registration,
          "DTU: sent first on each connection; \\xNN is a byte, \\\\ a\n"
          "backslash, \\r and \\n themselves");
    bytes("--heartbeat", o.heartbeat, "DTU: keep-alive sent every --heartbeat-every seconds");
    app.add_option("--heartbeat-every", o.heartbeatEverySec, "seconds between heartbeats (default 30)")
        ->type_name("S")
        ->check(CLI::Range(0.01, 86400.0));
    app.add_option("--heartbeat-before-reply", o.heartbeatBeforeReply,
                   "DTU: also send the heartbeat right before every Nth reply,\n"
                   "between the request and its reply")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--registration-after", o.registerAfterMs,
                   "DTU: send the registration MS after connecting (default 0)")
        ->type_name("MS")
        ->check(CLI::Range(0.0, 60000.0));
    app.add_option("--redial-after", o.redialAfterMs,
                   "DTU: pause before dialing again after a failed dial or a\n"
                   "lost connection (default 1000)")
        ->type_name("MS")
        ->check(CLI::Range(10.0, 600000.0));
}

// Options that mean nothing where the sensors answer; empty when all fit.
std::string misfit(const Options& o, const std::set<std::string>& given) {
    const auto any = [&given](std::initializer_list<const char*> names) -> std::string {
        for (const char* n : names)
            if (given.count(n)) return n;
        return {};
    };
    std::string n;
    if (o.mode != Mode::Dial &&
        !(n = any({"--registration", "--heartbeat", "--heartbeat-every", "--heartbeat-before-reply",
                   "--redial-after", "--registration-after"}))
             .empty())
        return n + " needs --dial";
    if (o.mode == Mode::Dial &&
        (given.count("--heartbeat-every") || given.count("--heartbeat-before-reply")) && o.heartbeat.empty())
        return "--heartbeat-every and --heartbeat-before-reply need --heartbeat";
    if (o.mode == Mode::Pty && !(n = any({"--drop-after", "--down-for", "--stall-after"})).empty())
        return n + " needs --tcp, --modbus-tcp or --dial";
    if (o.mode != Mode::Tcp && o.mode != Mode::ModbusTcp && given.count("--idle-close"))
        return "--idle-close needs --tcp or --modbus-tcp";
    if (given.count("--registration-after") && o.registration.empty())
        return "--registration-after needs --registration";
    if (given.count("--down-for") && (o.mode == Mode::Dial || o.dropAfter == 0))
        return "--down-for needs --drop-after with --tcp or --modbus-tcp";
    if (o.mode != Mode::ModbusTcp && given.count("--gateway-timeout"))
        return "--gateway-timeout needs --modbus-tcp";
    if (o.mode != Mode::Pty && o.strictGap) return "--strict-gap needs --link (TCP carries no silences)";
    if (o.mode == Mode::ModbusTcp && !(n = any({"--echo", "--garbage"})).empty())
        return n + " has no meaning with --modbus-tcp (the gateway reads each reply by its length)";
    return {};
}

} // namespace

std::string parseEndpoint(const std::string& text, bool dialing, Endpoint& out) {
    std::string host;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) return "must be [IPv6]:PORT";
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) return "an IPv6 address goes in brackets: [::1]:PORT";
    }
    if (dialing && host.empty()) return "must be HOST:PORT";
    if (text.find(':') != std::string::npos && host.empty()) return "HOST before the colon is empty";
    const int minPort = dialing ? 1 : 0;
    const bool digits = !port.empty() && port.size() <= 5 &&
                        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(port) < minPort || std::stoi(port) > 65535)
        return "port must be " + std::to_string(minPort) + "..65535";
    out.host = host;
    out.port = std::stoi(port);
    return {};
}

std::string unescapeBytes(const std::string& text, Bytes& out) {
    out.clear();
    const auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(static_cast<uint8_t>(text[i]));
            continue;
        }
        const char e = i + 1 < text.size() ? text[i + 1] : '\0';
        if (e == '\\' || e == 'r' || e == 'n') {
            out.push_back(static_cast<uint8_t>(e == 'r' ? '\r' : e == 'n' ? '\n' : '\\'));
            ++i;
        } else if (e == 'x' && i + 3 < text.size() && hex(text[i + 2]) >= 0 && hex(text[i + 3]) >= 0) {
            out.push_back(static_cast<uint8_t>(hex(text[i + 2]) * 16 + hex(text[i + 3])));
            i += 3;
        } else {
            return "bad escape at " + std::to_string(i + 1) + ": use \\xNN, \\\\, \\r or \\n";
        }
    }
    return out.empty() ? std::string("must not be empty") : std::string();
}

ParseResult parseOptions(int argc, char** argv, Options& o) {
    CLI::App app{"", "kv7702r-sim"};
    describe(app, o);
    ParseResult r;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        r.outcome = ParseResult::Help;
        r.text = app.help();
        return r;
    } catch (const CLI::CallForVersion& e) {
        r.outcome = ParseResult::Help;
        r.text = std::string(e.what()) + "\n";
        return r;
    } catch (const CLI::ParseError& e) {
        r.outcome = ParseResult::Error;
        r.text = std::string(e.what()) + "\n" + kUsageLine + "Run kv7702r-sim --help for the options.\n";
        return r;
    }
    if (o.link.empty() && o.mode == Mode::Pty) {
        r.outcome = ParseResult::Error;
        r.text = std::string("give one of --link, --tcp, --modbus-tcp or --dial\n") + kUsageLine;
        return r;
    }
    std::set<std::string> given;
    for (const CLI::Option* opt : app.get_options())
        if (opt->count() > 0) given.insert(opt->get_name());
    const std::string wrong = misfit(o, given);
    if (!wrong.empty()) {
        r.outcome = ParseResult::Error;
        r.text = wrong + "\n" + kUsageLine;
        return r;
    }
    std::vector<int> unique = o.addresses;
    std::sort(unique.begin(), unique.end());
    if (std::adjacent_find(unique.begin(), unique.end()) != unique.end()) {
        r.outcome = ParseResult::Error;
        r.text = std::string("each --address may be given once\n") + kUsageLine;
    }
    return r;
}

} // namespace kvsim
