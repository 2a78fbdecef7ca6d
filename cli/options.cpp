#include "cli/options.h"

#include "cli/addresslist.h"
#include "cli/console.h"
#include "cli/port.h"
#include "kv_version.h"
#include "net/redial.h"
#include "sensor/plausibility.h"
#include "sensor/protocol.h"
#include "sensor/registers.h"
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
    // CLI11 writes a flag's value when given bare as "--trace{-}"; a user types --trace[=FILE].
    std::string make_option_name(const CLI::Option* opt, bool positional) const override {
        std::string name = CLI::Formatter::make_option_name(opt, positional);
        const auto brace = name.find('{');
        if (brace != std::string::npos && name.back() == '}')
            name.replace(brace, std::string::npos, "[=FILE]");
        return name;
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

// The registers raw names, for its help.
std::string registerHelp() {
    std::string text =
        "Known registers, by the reads (function 3 or 4) and writes (6 or 16) that reach them:\n";
    for (const bool write : {false, true})
        for (const sensor::KnownRegister& k : sensor::knownRegisters(write)) {
            const QString line = QStringLiteral("  %1 %2  %3  %4\n")
                                     .arg(QLatin1String(write ? "write" : "read "), hexWord(k.reg))
                                     .arg(QLatin1String(k.name), -16)
                                     .arg(QLatin1String(k.meaning));
            text += line.toStdString();
        }
    return text + "A write is read back where the sensor shows it: a parameter at the register it is read\n"
                  "from (0x0A08, la, at 0x0006), any other register where it was written. The address\n"
                  "register is changed with kv7702r address set, which checks and proves the new address.";
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
    void describeRaw();
    // Every check that needs no device, in order; false after saying what is wrong.
    [[nodiscard]] bool checkPort();
    [[nodiscard]] bool checkAddresses();
    [[nodiscard]] bool checkParameter();
    [[nodiscard]] bool checkRest();
    [[nodiscard]] bool checkLine();
    [[nodiscard]] bool checkRaw();
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
    std::vector<std::string> ratesText_;
    std::string parityText_ = "none";
    int stopBits_ = 1;
    std::string rawRegister_ = "0";
    std::vector<std::string> rawValues_;
    std::string paramName_;
    std::string paramValue_;
    std::vector<std::string> heartbeatTexts_;
    int reconnectAfter_ = net::RECONNECT_AFTER;
    double ra_ = 0;
    double rb_ = 0;
    CLI::App* scanCmd_ = nullptr;
    CLI::App* readCmd_ = nullptr;
    CLI::App* paramsCmd_ = nullptr;
    CLI::App* paramsSet_ = nullptr;
    CLI::App* addressCmd_ = nullptr;
    CLI::App* addressSet_ = nullptr;
    CLI::App* calCmd_ = nullptr;
    CLI::App* paramsSave_ = nullptr;
    CLI::App* paramsLoad_ = nullptr;
    CLI::App* rawCmd_ = nullptr;
    CLI::Option* stopBitsOpt_ = nullptr;
    CLI::Option* sequenceOpt_ = nullptr;
    CLI::Option* newAddressOpt_ = nullptr;
    CLI::Option* undoOpt_ = nullptr;
    CLI::Option* rlOpt_ = nullptr;
    CLI::Option* rhOpt_ = nullptr;
    CLI::Option* functionOpt_ = nullptr;
    CLI::Option* countRawOpt_ = nullptr;
    CLI::Option* countOpt_ = nullptr;
    CLI::Option* everyOpt_ = nullptr;
    CLI::Option* registrationOpt_ = nullptr;
    CLI::Option* dtusOpt_ = nullptr;
    CLI::Option* dtusWaitOpt_ = nullptr;
    CLI::Option* reconnectAfterOpt_ = nullptr;
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
        "\nA request ends within (retries + 1) x 2 x (3 x timeout + grace), the grace being half the\n"
        "timeout (20-500 ms); every subcommand makes a bounded number of them, except read --every\n"
        "without --count, which runs until Ctrl-C, and address set --sequence and calibrate, which\n"
        "wait for the operator.\n\n" +
        sensor::plausibilityHelp().toStdString() +
        "\n"
        "\nEach subcommand has its own --help; the options above apply to all of them.");
    describeCommon();
    describeScan();
    describeRead();
    describeParams();
    describeAddress();
    describeCalibrate();
    describeRaw();
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
    app_.add_option("--parity", parityText_, "none, even or odd (default none); scan also takes all")
        ->type_name("PARITY");
    stopBitsOpt_ = app_.add_option("--stop-bits", stopBits_, "1 or 2 (default 1)")
                       ->type_name("N")
                       ->check(CLI::IsMember({1, 2}));
    app_.add_flag("--trace{-}", inv_.trace,
                  "every request and reply on stderr as it happens: time, direction,\n"
                  "bytes, latency and verdict; --trace=FILE appends them to FILE as\n"
                  "JSON lines instead");
}

void CommandLine::describeScan() {
    ScanOptions& scan = inv_.scan;
    scanCmd_ = app_.add_subcommand(
        "scan", "find every sensor on the line: rate, address and a first measurement\n"
                "Tries each rate with the address read to device 250 (answered by whoever is\n"
                "connected), then sweeps the addresses at each rate where several answered at once,\n"
                "or at every rate when the address read found nobody. Says which rates, formats and\n"
                "addresses it tried. --parity all tries 8N1, 8E1, 8O1 and 8N2 (the Modbus standard's\n"
                "form without parity), or each parity at --stop-bits when given. Exit 3 when nothing\n"
                "answers.");
    scanCmd_
        ->add_option("--rates", ratesText_,
                     "rates to try, in order (default " + joined(scan.rates, ",") +
                         "), or all:\nthe nine standard rates")
        ->type_name("LIST")
        ->delimiter(',');
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
                "appended to. A row's time is when its reply's last byte came, or, without a reply,\n"
                "when the request gave up. A reading beyond what the sensor can report keeps its values\n"
                "with the status implausible (limits in kv7702r --help). Ctrl-C stops and prints the\n"
                "summary, per sensor for a list: late replies, noise, the longest silence and when.\n"
                "Exit 0 when every measurement got a plausible value.");
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
    reconnectAfterOpt_ =
        readCmd_
            ->add_option("--reconnect-after", reconnectAfter_,
                         "tcp:// and modbus-tcp://: make the connection anew after N requests\n"
                         "in a row went unanswered (a session the server no longer serves);\n"
                         "0: never (default 3). A connection the other end closed between\n"
                         "requests is always made anew before the next one")
            ->type_name("N")
            ->check(CLI::Range(0, 1000));
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
    dtusWaitOpt_ = readCmd_
                       ->add_option("--dtus-wait", listen.dtusWaitMs,
                                    "listen:// with --count: how long to wait for --dtus DTUs to dial\n"
                                    "in; then the run goes on with those that came, names them\n"
                                    "and exits 3 (default 60000)")
                       ->type_name("MS")
                       ->check(CLI::Range(1, 86400000));
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
    paramsSet_->footer(parameterHelp() +
                       "\nWith an --address list (1-3), each sensor in turn, stopping at the first failure.");
    paramsSave_ = paramsCmd_->add_subcommand(
        "save", "the seven parameters into FILE (JSON) with the sensor's address, rate, format, the\n"
                "time and the tool's version; range is left out when register 8 holds none (1-3)");
    paramsSave_->add_option("FILE", inv_.file, "the file to write")->required();
    paramsLoad_ = paramsCmd_->add_subcommand(
        "load", "the parameters of FILE into the sensor: shows the differences, writes only those,\n"
                "reads each back, and stops at the first failure saying what is written. With an\n"
                "--address list (1-3), each sensor in turn: a row configured in one run.");
    paramsLoad_->add_option("FILE", inv_.file, "a file params save wrote, or one made by hand")->required();
    paramsLoad_->add_flag("--force", inv_.force,
                          "write values outside their ranges (a file params save wrote needs none)");
}

void CommandLine::describeAddress() {
    addressCmd_ =
        app_.add_subcommand("address", "read the address of the connected sensor (device 250 read)");
    addressSet_ = addressCmd_->add_subcommand(
        "set", "change the address of the sensor at --address to NEW, then prove it by a measurement at NEW");
    newAddressOpt_ = addressSet_->add_option("NEW", inv_.newAddress, "new address, 1-247")
                         ->check(CLI::Range(sensor::MIN_ADDRESS, sensor::MAX_ADDRESS));
    addressSet_->add_flag("--force", inv_.force, "change it even when NEW answers already");
    sequenceOpt_ = addressSet_->add_flag(
        "--sequence", "commission a row: each sensor plugged in alone, whatever its address, gets\n"
                      "the next address of --address (5-8: four sensors; 5: 5, 6, ... until q)");
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
    rlOpt_ = calCmd_->add_option("--rl", cal.RL, "true resistance at the low reference")->type_name("OHM");
    rhOpt_ = calCmd_->add_option("--rh", cal.RH, "true resistance at the high reference")->type_name("OHM");
    raOpt_ =
        calCmd_->add_option("--ra", ra_, "the sensor's reading at the low reference, instead of reading it")
            ->type_name("OHM");
    rbOpt_ =
        calCmd_->add_option("--rb", rb_, "the sensor's reading at the high reference, instead of reading it")
            ->type_name("OHM");
    calCmd_->add_flag("-y,--yes", cal.yes, "write without asking");
    calCmd_
        ->add_option("--samples", cal.samples,
                     "readings averaged at each reference, one every 0.5 s, once their\n"
                     "spread stays within --spread (default 10)")
        ->type_name("N")
        ->check(CLI::Range(2, 100));
    calCmd_
        ->add_option("--spread", cal.spreadOhm,
                     "largest minus smallest of those readings, at most (default 0.05)")
        ->type_name("OHM")
        ->check(CLI::Range(0.0, 100.0));
    calCmd_
        ->add_option("--backup", cal.backup,
                     "where the previous LA and OF are saved before writing (default\n"
                     "calibrations/aADDRESS-TIME.json in kv7702r's data folder,\n"
                     "~/.local/share/kv7702r on Linux)")
        ->type_name("FILE");
    undoOpt_ =
        calCmd_->add_option("--undo", inv_.file, "write back the LA and OF a calibration saved in FILE")
            ->type_name("FILE");
    calCmd_->footer(
        "Without --ra and --rb the resistance shows live (on a terminal) while the probe settles;\n"
        "after Enter the reading is the mean of --samples readings once they settle. The\n"
        "calibration ends unsettled after 120 s at each reference.");
}

void CommandLine::describeRaw() {
    RawOptions& raw = inv_.rawAccess;
    rawCmd_ = app_.add_subcommand(
        "raw", "any register: read --count registers from --register, or write the VALUES there;\n"
               "values shown in decimal, hex and signed, known registers named, writes read back");
    functionOpt_ = rawCmd_
                       ->add_option("--function", raw.function,
                                    "3 or 4 to read (default 3), 6 or 16 to write (default 6 for\n"
                                    "one value, 16 for several)")
                       ->type_name("F")
                       ->check(CLI::IsMember({3, 4, 6, 16}));
    rawCmd_->add_option("--register", rawRegister_, "first register, decimal or 0x hex (default 0)")
        ->type_name("R");
    countRawOpt_ = rawCmd_->add_option("--count", raw.count, "registers to read (default 1)")
                       ->type_name("N")
                       ->check(CLI::Range(1, sensor::MAX_READ_COUNT));
    rawCmd_->add_option("VALUES", rawValues_, "values to write, decimal (-32768 to 65535) or 0x hex");
    rawCmd_->footer(registerHelp());
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
    if (!checkPort() || !checkAddresses() || !checkParameter() || !checkRest() || !checkLine() || !checkRaw())
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
    if (!listening && (!heartbeatTexts_.empty() || registrationOpt_->count() > 0 || dtusOpt_->count() > 0 ||
                       dtusWaitOpt_->count() > 0)) {
        error(QStringLiteral(
            "--heartbeat, --registration-wait, --dtus and --dtus-wait are for --port listen://"));
        return false;
    }
    const bool connects = where.scheme == net::Scheme::Tcp || where.scheme == net::Scheme::ModbusTcp;
    if (!connects && reconnectAfterOpt_->count() > 0) {
        error(QStringLiteral("--reconnect-after is for --port tcp:// and modbus-tcp://"));
        return false;
    }
    if (*readCmd_) inv_.common.reconnectAfter = reconnectAfter_;
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
    const bool takesList =
        *readCmd_ || *paramsSet_ || *paramsLoad_ || (*addressSet_ && sequenceOpt_->count() > 0);
    if (addresses.size() > 1 && !takesList) {
        error(
            QStringLiteral("--address: %1 takes one address, not the list %2; read, params set, params load "
                           "and address set --sequence take several")
                .arg(q(app_.get_subcommands().front()->get_name()), q(addressText_)));
        return false;
    }
    inv_.common.address = addresses.front();
    inv_.read.addresses = addresses;
    inv_.addresses = addresses;
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
    if (*addressSet_) {
        const bool sequence = sequenceOpt_->count() > 0;
        if (sequence == (newAddressOpt_->count() > 0)) {
            error(sequence ? QStringLiteral("address set --sequence takes the new addresses from --address, "
                                            "not NEW")
                           : QStringLiteral("address set: give NEW, or --sequence"));
            return false;
        }
        if (sequence && inv_.addresses.size() == 1)
            for (int a = inv_.addresses.front() + 1; a <= sensor::MAX_ADDRESS; ++a)
                inv_.addresses.push_back(a);
        if (!sequence && inv_.newAddress == inv_.common.address) {
            error(QStringLiteral("the sensor has address %1 already").arg(inv_.newAddress));
            return false;
        }
    }
    if (*calCmd_) {
        const bool undo = undoOpt_->count() > 0;
        if (!undo && (rlOpt_->count() == 0 || rhOpt_->count() == 0)) {
            error(QStringLiteral("calibrate needs --rl and --rh (or --undo FILE)"));
            return false;
        }
        if (undo &&
            (rlOpt_->count() > 0 || rhOpt_->count() > 0 || raOpt_->count() > 0 || rbOpt_->count() > 0)) {
            error(QStringLiteral(
                "calibrate --undo writes back what FILE holds; it takes no --rl, --rh, --ra or --rb"));
            return false;
        }
        if (raOpt_->count() > 0) inv_.calibrate.RA = ra_;
        if (rbOpt_->count() > 0) inv_.calibrate.RB = rb_;
    }
    return true;
}

bool CommandLine::checkLine() {
    const bool scan = scanCmd_->parsed();
    const bool everyParity = parityText_ == "all";
    const auto parity = parityFromName(q(parityText_));
    if (!parity && !(scan && everyParity)) {
        error(QStringLiteral("--parity: '%1' is none, even or odd%2")
                  .arg(q(parityText_), scan ? QStringLiteral(", or all") : QString()));
        return false;
    }
    inv_.common.format = {parity.value_or(Parity::None), stopBits_};
    if (!scan) return true;
    ScanOptions& o = inv_.scan;
    o.formats = everyParity
                    ? everyFormat(stopBitsOpt_->count() > 0 ? std::optional<int>(stopBits_) : std::nullopt)
                    : std::vector<LineFormat>{inv_.common.format};
    if (ratesText_.empty()) return true;
    if (ratesText_.size() == 1 && ratesText_.front() == "all") {
        o.rates.assign(sensor::STANDARD_RATES.begin(), sensor::STANDARD_RATES.end());
        return true;
    }
    o.rates.clear();
    for (const std::string& text : ratesText_) {
        bool ok = false;
        const int rate = q(text).toInt(&ok);
        if (!ok || !sensor::isStandardRate(rate)) {
            error(QStringLiteral("--rates: '%1' is no standard rate (%2), and the list is rates or all")
                      .arg(q(text),
                           q(joined({sensor::STANDARD_RATES.begin(), sensor::STANDARD_RATES.end()}, " "))));
            return false;
        }
        o.rates.push_back(rate);
    }
    return true;
}

bool CommandLine::checkRaw() {
    if (!*rawCmd_) return true;
    RawOptions& o = inv_.rawAccess;
    const auto reg = parseWord(rawRegister_);
    if (!reg || q(rawRegister_).trimmed().startsWith(QLatin1Char('-'))) {
        error(QStringLiteral("--register: '%1' is no register 0-65535 (decimal or 0x hex)")
                  .arg(q(rawRegister_)));
        return false;
    }
    o.reg = *reg;
    for (const std::string& text : rawValues_) {
        const auto v = parseWord(text);
        if (!v) {
            error(
                QStringLiteral("'%1' is no 16-bit value: -32768 to 65535, or 0x0000 to 0xFFFF").arg(q(text)));
            return false;
        }
        o.values.push_back(*v);
    }
    const bool writing = !o.values.empty();
    if (functionOpt_->count() == 0)
        o.function = !writing               ? MODBUS_FC_READ_HOLDING_REGISTERS
                     : o.values.size() == 1 ? MODBUS_FC_WRITE_SINGLE_REGISTER
                                            : MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    const bool writeFunction =
        o.function == MODBUS_FC_WRITE_SINGLE_REGISTER || o.function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    if (writing != writeFunction) {
        error(writing ? QStringLiteral("function %1 reads; values are written with function 6 or 16")
                            .arg(o.function)
                      : QStringLiteral("function %1 writes: give the values to write").arg(o.function));
        return false;
    }
    if (writing && countRawOpt_->count() > 0) {
        error(QStringLiteral("--count is for reads; a write writes as many registers as values"));
        return false;
    }
    if (o.function == MODBUS_FC_WRITE_SINGLE_REGISTER && o.values.size() > 1) {
        error(QStringLiteral("function 6 writes one register; function 16 writes several"));
        return false;
    }
    if (static_cast<int>(o.values.size()) > sensor::MAX_WRITE_COUNT) {
        error(QStringLiteral("function 16 writes at most %1 registers").arg(sensor::MAX_WRITE_COUNT));
        return false;
    }
    const int span = writing ? static_cast<int>(o.values.size()) : o.count;
    if (o.reg + span - 1 > 0xFFFF) {
        error(QStringLiteral("registers %1 and on run past 65535").arg(o.reg));
        return false;
    }
    for (int k = 0; writing && k < span; ++k)
        if (o.reg + k == sensor::REG_ADDRESS) {
            error(QStringLiteral(
                "register 0x0B00 is the address: kv7702r address set changes it, checking the new "
                "address is free and proving the change"));
            return false;
        }
    return true;
}

Command CommandLine::command() const {
    if (*scanCmd_) return Command::Scan;
    if (*paramsCmd_)
        return *paramsSet_    ? Command::ParamsSet
               : *paramsSave_ ? Command::ParamsSave
               : *paramsLoad_ ? Command::ParamsLoad
                              : Command::Params;
    if (*addressCmd_)
        return !*addressSet_               ? Command::AddressRead
               : sequenceOpt_->count() > 0 ? Command::AddressSequence
                                           : Command::AddressSet;
    if (*calCmd_) return undoOpt_->count() > 0 ? Command::CalibrateUndo : Command::Calibrate;
    if (*rawCmd_) return Command::Raw;
    return inv_.where.scheme == net::Scheme::Listen ? Command::ListenRead : Command::Read;
}

} // namespace

Parsed parseCommandLine(int argc, char** argv) {
    return CommandLine().parse(argc, argv);
}

} // namespace kv::cli
