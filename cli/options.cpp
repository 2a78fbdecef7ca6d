#include "cli/options.h"

#include "cli/addresslist.h"
#include "cli/console.h"
#include "cli/port.h"
#include "kv_version.h"
#include "sensor/plausibility.h"
#include "sensor/protocol.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace kv::cli {
namespace {

const char* const kExitCodes = "Exit codes:\n"
                               "  0  success\n"
                               "  1  usage error (nothing is sent to the device)\n"
                               "  2  the port cannot be opened (missing, busy, permission)\n"
                               "  3  no reply: timeouts, or the port went away\n"
                               "  4  a device exception, a bad reply or a failed verification\n";

// Options with their value names only; the ranges are in the descriptions.
class Formatter : public CLI::Formatter {
public:
    std::string make_option_opts(const CLI::Option* opt) const override {
        if (opt->get_type_size() <= 0) return {};
        const std::string name = opt->get_type_name();
        return name.empty() || name[0] == '{' ? std::string() : " " + name.substr(0, name.find(':'));
    }
    // CLI11 writes a flag's value when given bare as "--trace{-}"; a user types --trace[=FILE].
    std::string make_option_name(const CLI::Option* opt, bool positional) const override {
        std::string name = CLI::Formatter::make_option_name(opt, positional);
        const auto brace = name.find('{');
        if (brace != std::string::npos && name.back() == '}')
            name.replace(brace, std::string::npos, "[=FILE]");
        return name;
    }
};

// The rates as the sensor knows them, in lines as long as the other options' descriptions.
std::string rateHelp() {
    constexpr std::size_t kWidth = 65;
    std::string text = "baud rate, one of";
    std::size_t lineStart = 0;
    for (int rate : sensor::STANDARD_RATES) {
        const std::string word = std::to_string(rate);
        if (text.size() - lineStart + 1 + word.size() > kWidth) {
            text += '\n';
            lineStart = text.size();
        } else {
            text += ' ';
        }
        text += word;
    }
    return text + "; default: the rate in comm.set, else " + std::to_string(DEFAULT_RATE);
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// The options every command takes bound to what they set, each command's row described on its
// subcommand, and the checks of the options every command takes after parsing.
class CommandLine {
public:
    explicit CommandLine(const std::vector<const CommandRow*>& table);
    [[nodiscard]] Parsed parse(int argc, char** argv);

private:
    void describeCommon();
    // Each false after saying what is wrong.
    [[nodiscard]] bool checkPort(Command& command);
    [[nodiscard]] bool checkAddresses(const Command& command);
    [[nodiscard]] bool checkLine(const Command& command);

    struct Described {
        CLI::App* sub;
        std::unique_ptr<Command> command;
    };

    CLI::App app_{"Command-line companion for the KV7702R Modbus-RTU soil-moisture and PT100 sensor.\n"
                  "Finds sensors, reads and logs measurements, reads and writes parameters, changes the\n"
                  "address and calibrates the temperature, checking every reply strictly.",
                  "kv7702r"};
    CLI::IsMember standardRate_{
        std::vector<int>(sensor::STANDARD_RATES.begin(), sensor::STANDARD_RATES.end())};
    GlobalOptions options_;
    std::vector<Described> commands_;
    std::string port_;
    std::string addressText_ = "1";
    std::string parityText_ = "none";
};

CommandLine::CommandLine(const std::vector<const CommandRow*>& table) {
    app_.formatter(std::make_shared<Formatter>());
    app_.set_version_flag("--version", "kv7702r " KV_VERSION);
    app_.require_subcommand(1);
    // A script may repeat an option to override it; the last value counts.
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.fallthrough();
    app_.footer(
        std::string(kExitCodes) +
        "\nA request ends within (retries + 1) x 2 x (3 x timeout + grace), the grace being half the\n"
        "timeout (20-500 ms); every subcommand makes a bounded number of them, except read --every\n"
        "without --count, which runs until Ctrl-C, and address set --sequence and calibrate, which\n"
        "wait for the operator.\n\n" +
        sensor::plausibilityHelp().toStdString() +
        "\n"
        "\nEach subcommand has its own --help; the options above apply to all of them.");
    describeCommon();
    for (const CommandRow* row : table) {
        CLI::App& under = row->parent ? *app_.get_subcommand(row->parent) : app_;
        CLI::App* sub = under.add_subcommand(row->name);
        commands_.push_back({sub, row->describe(*sub)});
    }
}

void CommandLine::describeCommon() {
    CommonOptions& common = options_.common;
    app_.add_option("-p,--port", port_,
                    "COMn (as the window maps it: COMn beside the program, then in\n"
                    "~/.config/kv7702r-tool, else /dev/ttyS<n-1>) or a device path\n"
                    "such as /dev/ttyUSB0; default: the port in the window's comm.set\n"
                    "(beside the program, or in ~/.config/kv7702r-tool when installed).\n"
                    "Over a network: tcp://HOST:PORT (a serial device server, raw RTU),\n"
                    "modbus-tcp://HOST[:PORT] (a Modbus-TCP gateway, port 502 by default,\n"
                    "the unit id from --address), listen://[HOST]:PORT (read only: DTUs\n"
                    "dial in, each one bus)")
        ->type_name("PORT");
    app_.add_option("-r,--rate", common.rate, rateHelp())->type_name("BAUD")->check(standardRate_);
    app_.add_option("-a,--address", addressText_,
                    "device address 1-247 (default 1); read also takes a list\nand ranges: 3,37,113 or 1-8")
        ->type_name("N");
    app_.add_option("--timeout", common.timeoutMs,
                    "reply timeout, from the request's last byte (default 1000);\n"
                    "a reply later than that is heard out and counted as late,\n"
                    "never taken for the answer to the next request")
        ->type_name("MS")
        ->check(CLI::Range(1, 60000));
    app_.add_option("--retries", common.retries,
                    "retries after a timeout or a garbled reply, never after\nan exception (default 2)")
        ->type_name("N")
        ->check(CLI::Range(0, 100));
    app_.add_flag("--echo", common.echo,
                  "the adapter echoes what it sends (2-wire RS-485 without echo\n"
                  "suppression): strip that copy of each request");
    app_.add_option("--parity", parityText_, "none, even or odd (default none); scan also takes all")
        ->type_name("PARITY");
    app_.add_option("--stop-bits", options_.stopBits, "1 or 2 (default 1)")
        ->type_name("N")
        ->check(CLI::IsMember({1, 2}));
    app_.add_option("--operator", options_.operatorName,
                    "who does the work, named in the history of params set, params load,\n"
                    "address set and calibrate (default: $KV7702R_OPERATOR)")
        ->type_name("NAME");
    app_.add_flag("--trace{-}", options_.trace,
                  "every request and reply on stderr as it happens: time, direction,\n"
                  "bytes, latency and verdict; --trace=FILE appends them to FILE as\n"
                  "JSON lines instead");
}

Parsed CommandLine::parse(int argc, char** argv) {
    try {
        app_.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return {nullptr, {}, app_.exit(e)};
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "kv7702r: %s\nRun kv7702r --help (or kv7702r SUBCOMMAND --help) for usage.\n",
                     e.what());
        return {nullptr, {}, EXIT_USAGE};
    }
    // The command given is the last row given: a subcommand's parent comes before it.
    Described* given = nullptr;
    for (Described& d : commands_)
        if (d.sub->parsed()) given = &d;
    Command& command = *given->command;
    if (!checkPort(command) || !checkAddresses(command) || !checkLine(command) || !command.check(options_))
        return {nullptr, {}, EXIT_USAGE};
    return {std::move(given->command), options_, EXIT_OK};
}

bool CommandLine::checkPort(Command& command) {
    const PortOption& port = options_.common.port = portOption(port_);
    if (!port.where.ok()) return refuse(QStringLiteral("--port %1").arg(port.where.error));
    return command.checkPort(options_);
}

bool CommandLine::checkAddresses(const Command& command) {
    const std::vector<int> addresses = parseAddressList(addressText_);
    if (addresses.empty())
        return refuse(
            QStringLiteral("--address: '%1' is not an address 1-247 or a list such as 3,37,113 or 1-8")
                .arg(q(addressText_)));
    if (addresses.size() > 1 && !command.takesAddressList())
        return refuse(
            QStringLiteral("--address: %1 takes one address, not the list %2; read, params set, params load "
                           "and address set --sequence take several")
                .arg(q(app_.get_subcommands().front()->get_name()), q(addressText_)));
    options_.common.address = addresses.front();
    options_.addresses = addresses;
    return true;
}

bool CommandLine::checkLine(const Command& command) {
    const bool everyTaken = command.takesEveryParity();
    options_.everyParity = parityText_ == "all";
    const auto parity = parityFromName(q(parityText_));
    if (!parity && !(everyTaken && options_.everyParity))
        return refuse(QStringLiteral("--parity: '%1' is none, even or odd%2")
                          .arg(q(parityText_), everyTaken ? QStringLiteral(", or all") : QString()));
    options_.common.format = {parity.value_or(Parity::None), options_.stopBits.value_or(1)};
    return true;
}

} // namespace

Parsed parseCommandLine(int argc, char** argv, const std::vector<const CommandRow*>& table) {
    return CommandLine(table).parse(argc, argv);
}

} // namespace kv::cli
