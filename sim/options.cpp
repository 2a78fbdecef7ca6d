#include "sim/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>
#include <regex>

namespace kvsim {

namespace {

const char* const kUsageLine = "usage: kv7702r-sim --link PATH [options]\n";

// The help in the sim's own words: a one-line usage and each option with its value name only.
class Formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App*, std::string) const override { return kUsageLine; }
    std::string make_option_opts(const CLI::Option* opt) const override {
        if (opt->get_type_size() <= 0) return {};
        const std::string name = opt->get_type_name();
        return name.empty() || name[0] == '{' ? std::string() : " " + name.substr(0, name.find(':'));
    }
};

const char* const kDescription =
    "Virtual KV7702R soil-moisture/PT100 sensor speaking Modbus RTU on a pseudo terminal.\n"
    "PATH becomes a symlink to the terminal; open it with the tool like a serial port.\n";

void describe(CLI::App& app, Options& o) {
    app.description(kDescription);
    auto fmt = std::make_shared<Formatter>();
    fmt->column_width(24);
    app.formatter(fmt);
    app.set_help_flag("-h,--help", "show this text");
    // As before CLI11: an option given twice takes its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    app.add_option("--link", o.link, "symlink to create (an existing symlink is replaced)")
        ->required()
        ->type_name("PATH")
        ->check([](const std::string& v) {
            return v.empty() ? std::string("must not be empty") : std::string();
        });
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
    app.add_option("--baud", o.baud, "answer only when the line is set to N baud (default: any)")
        ->type_name("N")
        ->check(CLI::Range(50L, 4000000L));
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
    app.add_flag("--verbose", o.verbose, "log requests (<<) and replies (>>) to stdout");
}

} // namespace

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
    } catch (const CLI::ParseError& e) {
        r.outcome = ParseResult::Error;
        r.text = std::string(e.what()) + "\n" + kUsageLine + "Run kv7702r-sim --help for the options.\n";
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
