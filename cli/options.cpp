#include "cli/options.h"

#include "cli/addresslist.h"
#include "cli/console.h"
#include "cli/port.h"
#include "kv_version.h"
#include "sensor/protocol.h"
#include "sensor/values.h"

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

std::string parameterHelp() {
    std::string text = "NAME is one of (or its number 0-6):\n";
    for (int i = 0; i < sensor::PARAMETER_COUNT; ++i) {
        const auto& p = sensor::parameterInfo(i);
        text += "  " + std::to_string(i) + "  " + p.key + std::string(17 - std::string(p.key).size(), ' ') +
                p.label + " (" + p.hint + ")\n";
    }
    text += "VALUE is typed as in the window: the scale as a factor (1.0000 is 10000), the others as the\n"
            "register value; a negative number is stored as its 16-bit two's complement.\n"
            "Register 8, where the hardware range is read back, is also the register of the PT100\n"
            "resistance; a sensor that reports the resistance there cannot verify a range write.";
    return text;
}

// Options with their value names only; the ranges are in the descriptions.
class Formatter : public CLI::Formatter {
public:
    std::string make_option_opts(const CLI::Option* opt) const override {
        if (opt->get_type_size() <= 0) return {};
        const std::string name = opt->get_type_name();
        return name.empty() || name[0] == '{' ? std::string() : " " + name.substr(0, name.find(':'));
    }
};

std::string joined(const std::vector<int>& numbers, const char* between) {
    std::string text;
    for (int n : numbers)
        text += (text.empty() ? "" : between) + std::to_string(n);
    return text;
}

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

// The options bound to what they set, the subcommands given, and the checks after parsing.
class CommandLine {
public:
    CommandLine();
    [[nodiscard]] Parsed parse(int argc, char** argv);

private:
    void describeCommon();
    void describeScan();
    void describeRead();
    void describeListen();
    void describeParams();
    void describeAddress();
    void describeCalibrate();
    // Every check that needs no device, in order; false after saying what is wrong.
    [[nodiscard]] bool checkPort();
    [[nodiscard]] bool checkAddresses();
    [[nodiscard]] bool checkParameter();
    [[nodiscard]] bool checkRest();
    [[nodiscard]] Command command() const;

    CLI::App app_{"Command-line companion for the KV7702R Modbus-RTU soil-moisture and PT100 sensor.\n"
                  "Finds sensors, reads and logs measurements, reads and writes parameters, changes the\n"
                  "address and calibrates the temperature, checking every reply strictly.",
                  "kv7702r"};
    CLI::IsMember standardRate_{
        std::vector<int>(sensor::STANDARD_RATES.begin(), sensor::STANDARD_RATES.end())};
    Invocation inv_;
    std::string addressText_ = "1";
    std::string addressList_ = "1-247";
    std::string paramName_;
    std::string paramValue_;
    std::vector<std::string> heartbeatTexts_;
    double ra_ = 0;
    double rb_ = 0;
    CLI::App* scanCmd_ = nullptr;
    CLI::App* readCmd_ = nullptr;
    CLI::App* paramsCmd_ = nullptr;
    CLI::App* paramsSet_ = nullptr;
    CLI::App* addressCmd_ = nullptr;
    CLI::App* addressSet_ = nullptr;
    CLI::App* calCmd_ = nullptr;
    CLI::Option* countOpt_ = nullptr;
    CLI::Option* everyOpt_ = nullptr;
    CLI::Option* registrationOpt_ = nullptr;
    CLI::Option* dtusOpt_ = nullptr;
    CLI::Option* raOpt_ = nullptr;
    CLI::Option* rbOpt_ = nullptr;
};

CommandLine::CommandLine() {
    app_.formatter(std::make_shared<Formatter>());
    app_.set_version_flag("--version", "kv7702r " KV_VERSION);
    app_.require_subcommand(1);
    // A script may repeat an option to override it; the last value counts.
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.fallthrough();
    app_.footer(
        std::string(kExitCodes) +
        "\nA request ends within (retries + 1) x 2 x (2 x timeout + grace), the grace being half the\n"
        "timeout (20-500 ms); every subcommand makes a bounded number of them, except read --every\n"
        "without --count, which runs until Ctrl-C.\n"
        "\nEach subcommand has its own --help; the options above apply to all of them.");
    describeCommon();
    describeScan();
    describeRead();
    describeParams();
    describeAddress();
    describeCalibrate();
}

void CommandLine::describeCommon() {
    CommonOptions& common = inv_.common;
    app_.add_option("-p,--port", common.port,
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
}

void CommandLine::describeScan() {
    ScanOptions& scan = inv_.scan;
    scanCmd_ = app_.add_subcommand(
        "scan", "find every sensor on the line: rate, address and a first measurement\n"
                "Tries each rate with the address read to device 250 (answered by whoever is\n"
                "connected), then sweeps the addresses at each rate where several answered at once,\n"
                "or at every rate when the address read found nobody. Exit 3 when nothing answers.");
    scanCmd_
        ->add_option("--rates", scan.rates,
                     "rates to try, in order (default " + joined(scan.rates, ",") + ")")
        ->type_name("LIST")
        ->delimiter(',')
        ->check(standardRate_);
    scanCmd_
        ->add_option("--addresses", addressList_,
                     "addresses for the sweep, e.g. 1-247 or 1-10,37 (default 1-247)")
        ->type_name("LIST");
    scanCmd_->add_flag("--first", scan.first, "stop at the first sensor found");
    scanCmd_->add_flag("--sweep", scan.sweepAll, "sweep the addresses at every rate, even after a find");
}

void CommandLine::describeRead() {
    ReadOptions& read = inv_.read;
    readCmd_ = app_.add_subcommand(
        "read", "moisture (%) and temperature (degC), once or repeatedly, then a summary\n"
                "With an address list, each round asks every sensor in turn and writes a row per sensor.\n"
                "Each line is written and flushed as it happens. CSV columns: time (RFC 3339 UTC),\n"
                "address, moisture_percent, temperature_celsius, latency_ms, status; a CSV file is\n"
                "appended to. Ctrl-C stops and prints the summary, per sensor for a list.\n"
                "Exit 0 when every measurement got a value.");
    countOpt_ = readCmd_
                    ->add_option("-n,--count", read.count,
                                 "number of rounds, one measurement per sensor each\n"
                                 "(default 1; with --every: until Ctrl-C)")
                    ->type_name("N")
                    ->check(CLI::Range(1, 1000000000));
    everyOpt_ = readCmd_->add_option("-e,--every", read.everyMs, "period of a round, start to start")
                    ->type_name("MS")
                    ->check(CLI::Range(0, 86400000));
    auto* csvOpt =
        readCmd_->add_option("--csv", read.csv, "write CSV to FILE, or to stdout with -")->type_name("FILE");
    auto* jsonOpt =
        readCmd_->add_flag("--json", read.json, "write one JSON object per line to stdout")->excludes(csvOpt);
    readCmd_
        ->add_flag("--influx", read.influx,
                   "write InfluxDB line protocol to stdout: measurement soil, tags\n"
                   "address and port, fields moisture, temperature, latency_ms, status")
        ->excludes(csvOpt)
        ->excludes(jsonOpt);
    describeListen();
    readCmd_->add_flag_callback(
        "--no-reconnect", [&read] { read.reconnect = false; },
        "end with exit 3 when the port goes away; by default a run with --every\n"
        "writes a 'port lost' row for each missed measurement, reopens the port\n"
        "by its name about once a second and goes on when it is back");
}

void CommandLine::describeListen() {
    ListenOptions& listen = inv_.listen;
    readCmd_
        ->add_option("--heartbeat", heartbeatTexts_,
                     "listen://: a DTU's heartbeat, taken out of its stream wherever it\n"
                     "comes; repeat it for several. \\xNN for any byte, \\\\, \\r, \\n")
        ->type_name("TEXT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    registrationOpt_ = readCmd_
                           ->add_option("--registration-wait", listen.registrationMs,
                                        "listen://: how long a DTU that dials in is given to send its\n"
                                        "registration, which names its bus (default 1000)")
                           ->type_name("MS")
                           ->check(CLI::Range(0, 60000));
    dtusOpt_ = readCmd_
                   ->add_option("--dtus", listen.dtus,
                                "listen:// with --count: the run ends once this many DTUs\n"
                                "have dialled in and done their rounds (default 1)")
                   ->type_name("N")
                   ->check(CLI::Range(1, 100000));
}

void CommandLine::describeParams() {
    paramsCmd_ = app_.add_subcommand("params",
                                     "the seven parameters: name, register, raw value and value in its unit");
    paramsCmd_->footer(parameterHelp());
    paramsSet_ = paramsCmd_->add_subcommand(
        "set",
        "write a parameter with the window's conversion, read it back and fail unless it holds what was "
        "written");
    paramsSet_->add_option("NAME", paramName_, "parameter name or number 0-6")->required();
    paramsSet_->add_option("VALUE", paramValue_, "value as typed in the window")->required();
    paramsSet_->add_flag("--force", inv_.force, "write a value outside the range listed below");
    paramsSet_->footer(parameterHelp());
}

void CommandLine::describeAddress() {
    addressCmd_ =
        app_.add_subcommand("address", "read the address of the connected sensor (device 250 read)");
    addressSet_ = addressCmd_->add_subcommand(
        "set", "change the address of the sensor at --address to NEW, then prove it by a measurement at NEW");
    addressSet_->add_option("NEW", inv_.newAddress, "new address, 1-247")
        ->required()
        ->check(CLI::Range(sensor::MIN_ADDRESS, sensor::MAX_ADDRESS));
    addressSet_->add_flag("--force", inv_.force, "change it even when NEW answers already");
    addressSet_->footer(
        "The window accepts only 1-35 (its hint says 1-250). Modbus allows 1-247 and the virtual\n"
        "sensor accepts them all; whether a given sensor keeps an address above 35 is shown by\n"
        "the measurement at the new address, which fails (exit 4) otherwise.");
}

void CommandLine::describeCalibrate() {
    CalibrateOptions& cal = inv_.calibrate;
    calCmd_ = app_.add_subcommand(
        "calibrate",
        "two-point temperature calibration: LA and OF from the true resistances RL, RH and the\n"
        "sensor's readings RA, RB (asked for with Enter unless given), written after confirmation\n"
        "and verified by read-back. LA = (RH-RL)/(RB-RA), register floor(LA*10000);\n"
        "OF = RH - LA*RB, register floor(OF*100)+5000.");
    calCmd_->add_option("--rl", cal.RL, "true resistance at the low reference")->type_name("OHM")->required();
    calCmd_->add_option("--rh", cal.RH, "true resistance at the high reference")
        ->type_name("OHM")
        ->required();
    raOpt_ =
        calCmd_->add_option("--ra", ra_, "the sensor's reading at the low reference, instead of reading it")
            ->type_name("OHM");
    rbOpt_ =
        calCmd_->add_option("--rb", rb_, "the sensor's reading at the high reference, instead of reading it")
            ->type_name("OHM");
    calCmd_->add_flag("-y,--yes", cal.yes, "write without asking");
}

Parsed CommandLine::parse(int argc, char** argv) {
    try {
        app_.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return {std::nullopt, app_.exit(e)};
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "kv7702r: %s\nRun kv7702r --help (or kv7702r SUBCOMMAND --help) for usage.\n",
                     e.what());
        return {std::nullopt, EXIT_USAGE};
    }
    if (!checkPort() || !checkAddresses() || !checkParameter() || !checkRest())
        return {std::nullopt, EXIT_USAGE};
    inv_.command = command();
    return {inv_, EXIT_OK};
}

bool CommandLine::checkPort() {
    const net::PortAddress& where = inv_.where = net::parsePortAddress(q(inv_.common.port));
    if (!where.ok()) {
        error(QStringLiteral("--port %1").arg(where.error));
        return false;
    }
    const bool listening = where.scheme == net::Scheme::Listen;
    if (listening && !*readCmd_) {
        error(
            QStringLiteral("--port %1: DTUs that dial in are read from only; give read, or reach the sensor "
                           "by tcp:// or modbus-tcp://")
                .arg(q(inv_.common.port)));
        return false;
    }
    if (!listening && (!heartbeatTexts_.empty() || registrationOpt_->count() > 0 || dtusOpt_->count() > 0)) {
        error(QStringLiteral("--heartbeat, --registration-wait and --dtus are for --port listen://"));
        return false;
    }
    for (const std::string& text : heartbeatTexts_) {
        QByteArray bytes;
        if (!textBytes(text, bytes)) {
            error(QStringLiteral(
                      "--heartbeat '%1': \\xNN, \\\\, \\r and \\n are the escapes, and it may not be empty")
                      .arg(q(text)));
            return false;
        }
        inv_.listen.heartbeats.push_back(bytes);
    }
    if (where.scheme == net::Scheme::ModbusTcp && *addressCmd_ && !*addressSet_) {
        // A gateway answers under the unit asked (250), so the sensor's own address is lost.
        error(QStringLiteral("a Modbus-TCP gateway cannot pass on the address read; find the sensor "
                             "with kv7702r scan --port %1")
                  .arg(q(inv_.common.port)));
        return false;
    }
    return true;
}

bool CommandLine::checkAddresses() {
    const std::vector<int> addresses = parseAddressList(addressText_);
    if (addresses.empty()) {
        error(QStringLiteral("--address: '%1' is not an address 1-247 or a list such as 3,37,113 or 1-8")
                  .arg(q(addressText_)));
        return false;
    }
    if (addresses.size() > 1 && !*readCmd_) {
        error(
            QStringLiteral("--address: %1 takes one address, not the list %2; only read asks several sensors")
                .arg(q(app_.get_subcommands().front()->get_name()), q(addressText_)));
        return false;
    }
    inv_.common.address = addresses.front();
    inv_.read.addresses = addresses;
    return true;
}

bool CommandLine::checkParameter() {
    if (!*paramsSet_) return true;
    const int i = sensor::parameterIndex(q(paramName_));
    if (i < 0) {
        error(QStringLiteral("unknown parameter '%1'; see kv7702r params --help").arg(q(paramName_)));
        return false;
    }
    const auto enc = sensor::encodeParameter(i, q(paramValue_));
    const QLatin1String key(sensor::parameterInfo(i).key);
    if (enc.error != sensor::EncodeError::None) {
        error(QStringLiteral("'%1' cannot be written to %2: %3")
                  .arg(q(paramValue_), key, sensor::describe(enc.error)));
        return false;
    }
    if (!inv_.force && !sensor::parameterInRange(i, enc.raw)) {
        error(QStringLiteral("'%1' is outside the range of %2 (%3); --force writes it anyway")
                  .arg(q(paramValue_), key, QLatin1String(sensor::parameterInfo(i).hint)));
        return false;
    }
    inv_.parameter = i;
    inv_.raw = enc.raw;
    return true;
}

bool CommandLine::checkRest() {
    if (*scanCmd_) {
        inv_.scan.addresses = parseAddressList(addressList_);
        if (inv_.scan.addresses.empty()) {
            error(
                QStringLiteral("--addresses: '%1' is not a list of addresses 1-247 such as 1-247 or 1-10,37")
                    .arg(q(addressList_)));
            return false;
        }
    }
    if (*readCmd_) {
        inv_.read.countGiven = countOpt_->count() > 0;
        inv_.read.everyGiven = everyOpt_->count() > 0;
    }
    if (*addressSet_ && inv_.newAddress == inv_.common.address) {
        error(QStringLiteral("the sensor has address %1 already").arg(inv_.newAddress));
        return false;
    }
    if (*calCmd_) {
        if (raOpt_->count() > 0) inv_.calibrate.RA = ra_;
        if (rbOpt_->count() > 0) inv_.calibrate.RB = rb_;
    }
    return true;
}

Command CommandLine::command() const {
    if (*scanCmd_) return Command::Scan;
    if (*paramsCmd_) return *paramsSet_ ? Command::ParamsSet : Command::Params;
    if (*addressCmd_) return *addressSet_ ? Command::AddressSet : Command::AddressRead;
    if (*calCmd_) return Command::Calibrate;
    return inv_.where.scheme == net::Scheme::Listen ? Command::ListenRead : Command::Read;
}

} // namespace

Parsed parseCommandLine(int argc, char** argv) {
    return CommandLine().parse(argc, argv);
}

} // namespace kv::cli
