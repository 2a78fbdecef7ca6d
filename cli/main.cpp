// kv7702r: the sensor from a terminal or a script. Finds sensors at unknown rates and
// addresses, reads and logs moisture and temperature, reads and writes the parameters,
// changes the address and runs the two-point temperature calibration, checking every
// reply strictly. Needs no display.

#include "cli/commands.h"
#include "cli/listenread.h"
#include "net/address.h"
#include "sensor/protocol.h"
#include "sensor/values.h"
#include "kv_version.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>

#include <cstdio>

using namespace kv;
using namespace kv::cli;

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication qapp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kv7702r"));

    CLI::App app{"Command-line companion for the KV7702R Modbus-RTU soil-moisture and PT100 sensor.\n"
                 "Finds sensors, reads and logs measurements, reads and writes parameters, changes the\n"
                 "address and calibrates the temperature, checking every reply strictly.",
                 "kv7702r"};
    app.formatter(std::make_shared<Formatter>());
    app.set_version_flag("--version", "kv7702r " KV_VERSION);
    app.require_subcommand(1);
    // A script may repeat an option to override it; the last value counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.fallthrough();
    app.footer(std::string(kExitCodes) +
               "\nA request ends within (retries + 1) x 2 x (2 x timeout + grace), the grace being half the\n"
               "timeout (20-500 ms); every subcommand makes a bounded number of them, except read --every\n"
               "without --count, which runs until Ctrl-C.\n"
               "\nEach subcommand has its own --help; the options above apply to all of them.");

    CommonOptions common;
    app.add_option("-p,--port", common.port,
                   "COMn (as the window maps it: COMn beside the program, then in\n"
                   "~/.config/kv7702r-tool, else /dev/ttyS<n-1>) or a device path\n"
                   "such as /dev/ttyUSB0; default: the port in the window's comm.set\n"
                   "(beside the program, or in ~/.config/kv7702r-tool when installed).\n"
                   "Over a network: tcp://HOST:PORT (a serial device server, raw RTU),\n"
                   "modbus-tcp://HOST[:PORT] (a Modbus-TCP gateway, port 502 by default,\n"
                   "the unit id from --address), listen://[HOST]:PORT (read only: DTUs\n"
                   "dial in, each one bus)")
        ->type_name("PORT");
    const CLI::IsMember standardRate(standardRates());
    app.add_option("-r,--rate", common.rate,
                   "baud rate, one of 1200 2400 4800 9600 14400 19200 38400 57600\n"
                   "115200; default: the rate in comm.set, else 9600")
        ->type_name("BAUD")
        ->check(standardRate);
    std::string addressText = "1";
    app.add_option("-a,--address", addressText,
                   "device address 1-247 (default 1); read also takes a list\nand ranges: 3,37,113 or 1-8")
        ->type_name("N");
    app.add_option("--timeout", common.timeoutMs,
                   "reply timeout, from the request's last byte (default 1000);\n"
                   "a reply later than that is heard out and counted as late,\n"
                   "never taken for the answer to the next request")
        ->type_name("MS")
        ->check(CLI::Range(1, 60000));
    app.add_option("--retries", common.retries,
                   "retries after a timeout or a garbled reply, never after\nan exception (default 2)")
        ->type_name("N")
        ->check(CLI::Range(0, 100));
    app.add_flag("--echo", common.echo,
                 "the adapter echoes what it sends (2-wire RS-485 without echo\n"
                 "suppression): strip that copy of each request");

    // scan
    ScanOptions scan;
    std::string addressList = "1-247";
    auto* scanCmd = app.add_subcommand(
        "scan", "find every sensor on the line: rate, address and a first measurement\n"
                "Tries each rate with the address read to device 250 (answered by whoever is\n"
                "connected), then sweeps the addresses at each rate where several answered at once,\n"
                "or at every rate when the address read found nobody. Exit 3 when nothing answers.");
    scanCmd->add_option("--rates", scan.rates, "rates to try, in order (default 4800,9600,14400,19200)")
        ->type_name("LIST")
        ->delimiter(',')
        ->check(standardRate);
    scanCmd
        ->add_option("--addresses", addressList,
                     "addresses for the sweep, e.g. 1-247 or 1-10,37 (default 1-247)")
        ->type_name("LIST");
    scanCmd->add_flag("--first", scan.first, "stop at the first sensor found");
    scanCmd->add_flag("--sweep", scan.sweepAll, "sweep the addresses at every rate, even after a find");

    // read
    ReadOptions read;
    auto* readCmd = app.add_subcommand(
        "read", "moisture (%) and temperature (degC), once or repeatedly, then a summary\n"
                "With an address list, each round asks every sensor in turn and writes a row per sensor.\n"
                "Each line is written and flushed as it happens. CSV columns: time (RFC 3339 UTC),\n"
                "address, moisture_percent, temperature_celsius, latency_ms, status; a CSV file is\n"
                "appended to. Ctrl-C stops and prints the summary, per sensor for a list.\n"
                "Exit 0 when every measurement got a value.");
    auto* countOpt = readCmd
                         ->add_option("-n,--count", read.count,
                                      "number of rounds, one measurement per sensor each\n"
                                      "(default 1; with --every: until Ctrl-C)")
                         ->type_name("N")
                         ->check(CLI::Range(1, 1000000000));
    auto* everyOpt = readCmd->add_option("-e,--every", read.everyMs, "period of a round, start to start")
                         ->type_name("MS")
                         ->check(CLI::Range(0, 86400000));
    auto* csvOpt =
        readCmd->add_option("--csv", read.csv, "write CSV to FILE, or to stdout with -")->type_name("FILE");
    auto* jsonOpt =
        readCmd->add_flag("--json", read.json, "write one JSON object per line to stdout")->excludes(csvOpt);
    readCmd
        ->add_flag("--influx", read.influx,
                   "write InfluxDB line protocol to stdout: measurement soil, tags\n"
                   "address and port, fields moisture, temperature, latency_ms, status")
        ->excludes(csvOpt)
        ->excludes(jsonOpt);
    ListenOptions listen;
    std::vector<std::string> heartbeatTexts;
    readCmd
        ->add_option("--heartbeat", heartbeatTexts,
                     "listen://: a DTU's heartbeat, taken out of its stream wherever it\n"
                     "comes; repeat it for several. \\xNN for any byte, \\\\, \\r, \\n")
        ->type_name("TEXT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto* registrationOpt = readCmd
                                ->add_option("--registration-wait", listen.registrationMs,
                                             "listen://: how long a DTU that dials in is given to send its\n"
                                             "registration, which names its bus (default 1000)")
                                ->type_name("MS")
                                ->check(CLI::Range(0, 60000));
    auto* dtusOpt = readCmd
                        ->add_option("--dtus", listen.dtus,
                                     "listen:// with --count: the run ends once this many DTUs\n"
                                     "have dialled in and done their rounds (default 1)")
                        ->type_name("N")
                        ->check(CLI::Range(1, 100000));
    readCmd->add_flag_callback(
        "--no-reconnect", [&read] { read.reconnect = false; },
        "end with exit 3 when the port goes away; by default a run with --every\n"
        "writes a 'port lost' row for each missed measurement, reopens the port\n"
        "by its name about once a second and goes on when it is back");

    // params
    auto* paramsCmd =
        app.add_subcommand("params", "the seven parameters: name, register, raw value and value in its unit");
    paramsCmd->footer(parameterHelp());
    std::string paramName;
    std::string paramValue;
    auto* paramsSet = paramsCmd->add_subcommand(
        "set",
        "write a parameter with the window's conversion, read it back and fail unless it holds what was "
        "written");
    paramsSet->add_option("NAME", paramName, "parameter name or number 0-6")->required();
    paramsSet->add_option("VALUE", paramValue, "value as typed in the window")->required();
    bool paramForce = false;
    paramsSet->add_flag("--force", paramForce, "write a value outside the range listed below");
    paramsSet->footer(parameterHelp());

    // address
    auto* addressCmd =
        app.add_subcommand("address", "read the address of the connected sensor (device 250 read)");
    int newAddress = 0;
    auto* addressSet = addressCmd->add_subcommand(
        "set", "change the address of the sensor at --address to NEW, then prove it by a measurement at NEW");
    addressSet->add_option("NEW", newAddress, "new address, 1-247")
        ->required()
        ->check(CLI::Range(sensor::MIN_ADDRESS, sensor::MAX_ADDRESS));
    bool addressForce = false;
    addressSet->add_flag("--force", addressForce, "change it even when NEW answers already");
    addressSet->footer(
        "The window accepts only 1-35 (its hint says 1-250). Modbus allows 1-247 and the virtual\n"
        "sensor accepts them all; whether a given sensor keeps an address above 35 is shown by\n"
        "the measurement at the new address, which fails (exit 4) otherwise.");

    // calibrate
    CalibrateOptions cal;
    double ra = 0;
    double rb = 0;
    auto* calCmd = app.add_subcommand(
        "calibrate",
        "two-point temperature calibration: LA and OF from the true resistances RL, RH and the\n"
        "sensor's readings RA, RB (asked for with Enter unless given), written after confirmation\n"
        "and verified by read-back. LA = (RH-RL)/(RB-RA), register floor(LA*10000);\n"
        "OF = RH - LA*RB, register floor(OF*100)+5000.");
    calCmd->add_option("--rl", cal.RL, "true resistance at the low reference")->type_name("OHM")->required();
    calCmd->add_option("--rh", cal.RH, "true resistance at the high reference")->type_name("OHM")->required();
    auto* raOpt =
        calCmd->add_option("--ra", ra, "the sensor's reading at the low reference, instead of reading it")
            ->type_name("OHM");
    auto* rbOpt =
        calCmd->add_option("--rb", rb, "the sensor's reading at the high reference, instead of reading it")
            ->type_name("OHM");
    calCmd->add_flag("-y,--yes", cal.yes, "write without asking");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "kv7702r: %s\nRun kv7702r --help (or kv7702r SUBCOMMAND --help) for usage.\n",
                     e.what());
        return EXIT_USAGE;
    }

    // Every check that needs no device is done before the port is touched.
    const net::PortAddress where = net::parsePortAddress(QString::fromStdString(common.port));
    if (!where.ok()) {
        error(QStringLiteral("--port %1").arg(where.error));
        return EXIT_USAGE;
    }
    const bool listening = where.scheme == net::Scheme::Listen;
    if (listening && !*readCmd) {
        error(
            QStringLiteral("--port %1: DTUs that dial in are read from only; give read, or reach the sensor "
                           "by tcp:// or modbus-tcp://")
                .arg(QString::fromStdString(common.port)));
        return EXIT_USAGE;
    }
    if (!listening && (!heartbeatTexts.empty() || registrationOpt->count() > 0 || dtusOpt->count() > 0)) {
        error(QStringLiteral("--heartbeat, --registration-wait and --dtus are for --port listen://"));
        return EXIT_USAGE;
    }
    for (const std::string& text : heartbeatTexts) {
        QByteArray bytes;
        if (!textBytes(text, bytes)) {
            error(QStringLiteral(
                      "--heartbeat '%1': \\xNN, \\\\, \\r and \\n are the escapes, and it may not be empty")
                      .arg(QString::fromStdString(text)));
            return EXIT_USAGE;
        }
        listen.heartbeats.push_back(bytes);
    }
    if (where.scheme == net::Scheme::ModbusTcp && *addressCmd && !*addressSet) {
        // A gateway answers under the unit asked (250), so the sensor's own address is lost.
        error(QStringLiteral("a Modbus-TCP gateway cannot pass on the address read; find the sensor "
                             "with kv7702r scan --port %1")
                  .arg(QString::fromStdString(common.port)));
        return EXIT_USAGE;
    }
    const std::vector<int> addresses = parseAddressList(addressText);
    if (addresses.empty()) {
        error(QStringLiteral("--address: '%1' is not an address 1-247 or a list such as 3,37,113 or 1-8")
                  .arg(QString::fromStdString(addressText)));
        return EXIT_USAGE;
    }
    if (addresses.size() > 1 && !*readCmd) {
        error(
            QStringLiteral("--address: %1 takes one address, not the list %2; only read asks several sensors")
                .arg(QString::fromStdString(app.get_subcommands().front()->get_name()),
                     QString::fromStdString(addressText)));
        return EXIT_USAGE;
    }
    common.address = addresses.front();
    read.addresses = addresses;
    int paramIndex = -1;
    std::uint16_t paramRaw = 0;
    if (*paramsSet) {
        paramIndex = sensor::parameterIndex(QString::fromStdString(paramName));
        if (paramIndex < 0) {
            error(QStringLiteral("unknown parameter '%1'; see kv7702r params --help")
                      .arg(QString::fromStdString(paramName)));
            return EXIT_USAGE;
        }
        const auto enc = sensor::encodeParameter(paramIndex, QString::fromStdString(paramValue));
        if (enc.error != sensor::EncodeError::None) {
            error(QStringLiteral("'%1' cannot be written to %2: %3")
                      .arg(QString::fromStdString(paramValue),
                           QLatin1String(sensor::parameterInfo(paramIndex).key),
                           enc.error == sensor::EncodeError::NotANumber ? QStringLiteral("not a number")
                           : enc.error == sensor::EncodeError::OutOfRange
                               ? QStringLiteral("outside -65535..65535")
                               : QStringLiteral("does not fit the register")));
            return EXIT_USAGE;
        }
        paramRaw = enc.raw;
        if (!paramForce && !sensor::parameterInRange(paramIndex, paramRaw)) {
            error(QStringLiteral("'%1' is outside the range of %2 (%3); --force writes it anyway")
                      .arg(QString::fromStdString(paramValue),
                           QLatin1String(sensor::parameterInfo(paramIndex).key),
                           QLatin1String(sensor::parameterInfo(paramIndex).hint)));
            return EXIT_USAGE;
        }
    }
    if (*scanCmd) {
        scan.addresses = parseAddressList(addressList);
        if (scan.addresses.empty()) {
            error(
                QStringLiteral("--addresses: '%1' is not a list of addresses 1-247 such as 1-247 or 1-10,37")
                    .arg(QString::fromStdString(addressList)));
            return EXIT_USAGE;
        }
    }
    if (*readCmd) {
        read.countGiven = countOpt->count() > 0;
        read.everyGiven = everyOpt->count() > 0;
    }
    if (*addressSet && newAddress == common.address) {
        error(QStringLiteral("the sensor has address %1 already").arg(newAddress));
        return EXIT_USAGE;
    }
    if (*calCmd) {
        if (raOpt->count() > 0) cal.RA = ra;
        if (rbOpt->count() > 0) cal.RB = rb;
    }

    installStopHandler();
    if (listening) return runListenRead(common, read, listen, where);
    Session session(common);
    if (const int code = session.open(); code != EXIT_OK) return code;

    if (*scanCmd) return runScan(session, scan);
    if (*readCmd) return runRead(session, read);
    if (*paramsCmd) return *paramsSet ? runParamsSet(session, paramIndex, paramRaw) : runParams(session);
    if (*addressCmd)
        return *addressSet ? runAddressSet(session, newAddress, addressForce) : runAddressRead(session);
    if (*calCmd) return runCalibrate(session, cal);
    return EXIT_USAGE;
}
