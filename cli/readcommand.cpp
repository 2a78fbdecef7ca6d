// read's row: its options, and whether a session's read or the DTUs' server runs them.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/listenread.h"
#include "net/redial.h"
#ifdef KV_WITH_COLLECT
#include "collect/config.h"
#endif

#include <CLI/CLI.hpp>

#include <algorithm>

namespace kv::cli {
namespace {

class ReadCommand : public Command {
public:
    explicit ReadCommand(CLI::App& sub);
    [[nodiscard]] bool takesAddressList() const override { return true; }
    [[nodiscard]] bool checkPort(GlobalOptions& g) override;
    [[nodiscard]] bool check(GlobalOptions& g) override;
    [[nodiscard]] int run(Context& c) override;

private:
    void describeListen(CLI::App& sub);
    void describeSoil(CLI::App& sub);
    [[nodiscard]] bool checkSoil();

    ReadOptions read_;
    ListenOptions listen_;
    std::vector<std::string> heartbeats_;
    int reconnectAfter_ = net::RECONNECT_AFTER;
    CLI::Option* count_ = nullptr;
    CLI::Option* every_ = nullptr;
    CLI::Option* reconnectAfterOpt_ = nullptr;
    std::vector<CLI::Option*> dialInOnly_;
    // The soil options as typed, each with its option to tell whether it was given.
    struct Typed {
        double value = 0;
        CLI::Option* option = nullptr;
    };
    Typed fieldCapacity_, wiltingPoint_, refill_, allowedDepletion_, rootZoneCm_;
    CLI::Option* stuckAfter_ = nullptr;
    std::string calibrationFile_; // --soil-calibration: empty for none
};

ReadCommand::ReadCommand(CLI::App& sub) {
    sub.description(
        "moisture (%) and temperature (degC), once or repeatedly, then a summary\n"
        "With an address list, each round asks every sensor in turn and writes a row per sensor.\n"
        "Each line is written and flushed as it happens. CSV columns: time (RFC 3339 UTC),\n"
        "address, moisture_percent, temperature_celsius, latency_ms, status; a CSV file is\n"
        "appended to. A row's time is when its reply's last byte came, or, without a reply,\n"
        "when the request gave up. A reading beyond what the sensor can report keeps its values\n"
        "with the status implausible (limits in kv7702r --help). Ctrl-C stops and prints the\n"
        "summary, per sensor for a list: late replies, noise, the longest silence and when.\n"
        "Exit 0 when every measurement got a plausible value.");
    count_ = sub.add_option("-n,--count", read_.count,
                            "number of rounds, one measurement per sensor each\n"
                            "(default 1; with --every: until Ctrl-C)")
                 ->type_name("N")
                 ->check(CLI::Range(1, 1000000000));
    every_ = sub.add_option("-e,--every", read_.everyMs, "period of a round, start to start")
                 ->type_name("MS")
                 ->check(CLI::Range(0, 86400000));
    auto* csv =
        sub.add_option("--csv", read_.csv, "write CSV to FILE, or to stdout with -")->type_name("FILE");
    auto* json =
        sub.add_flag("--json", read_.json, "write one JSON object per line to stdout")->excludes(csv);
    sub.add_flag("--influx", read_.influx,
                 "write InfluxDB line protocol to stdout: measurement soil, tags\n"
                 "address and port, fields moisture, temperature, latency_ms, status")
        ->excludes(csv)
        ->excludes(json);
    describeListen(sub);
    describeSoil(sub);
    sub.add_flag_callback(
        "--no-reconnect", [this] { read_.reconnect = false; },
        "end with exit 3 when the port goes away; by default a run with --every\n"
        "writes a 'port lost' row for each missed measurement, reopens the port\n"
        "by its name about once a second and goes on when it is back");
    reconnectAfterOpt_ =
        sub.add_option("--reconnect-after", reconnectAfter_,
                       "tcp:// and modbus-tcp://: make the connection anew after N requests\n"
                       "in a row went unanswered (a session the server no longer serves);\n"
                       "0: never (default 3). A connection the other end closed between\n"
                       "requests is always made anew before the next one")
            ->type_name("N")
            ->check(CLI::Range(0, 1000));
}

void ReadCommand::describeListen(CLI::App& sub) {
    dialInOnly_ = {
        sub.add_option("--heartbeat", heartbeats_,
                       "listen://: a DTU's heartbeat, taken out of its stream wherever it\n"
                       "comes; repeat it for several. \\xNN for any byte, \\\\, \\r, \\n")
            ->type_name("TEXT")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll),
        sub.add_option("--registration-wait", listen_.registrationMs,
                       "listen://: how long a DTU that dials in is given to send its\n"
                       "registration, which names its bus (default 1000)")
            ->type_name("MS")
            ->check(CLI::Range(0, 60000)),
        sub.add_option("--dtus", listen_.dtus,
                       "listen:// with --count: the run ends once this many DTUs\n"
                       "have dialled in and done their rounds (default 1)")
            ->type_name("N")
            ->check(CLI::Range(1, 100000)),
        sub.add_option("--dtus-wait", listen_.dtusWaitMs,
                       "listen:// with --count: how long to wait for --dtus DTUs to dial\n"
                       "in; then the run goes on with those that came, names them\n"
                       "and exits 3 (default 60000)")
            ->type_name("MS")
            ->check(CLI::Range(1, 86400000)),
    };
}

void ReadCommand::describeSoil(CLI::App& sub) {
    const auto soilOption = [&sub](Typed& t, const char* name, const char* unit, const char* what) {
        t.option = sub.add_option(name, t.value, what)->type_name(unit)->group("Soil (see docs/soil.md)");
    };
    soilOption(fieldCapacity_, "--field-capacity", "PCT",
               "the soil's field capacity, volumetric %. With any soil option every row\n"
               "also carries relative_water, deficit_mm and flags (CSV: last columns)");
    soilOption(wiltingPoint_, "--wilting-point", "PCT", "the soil's permanent wilting point, volumetric %");
    soilOption(refill_, "--refill", "PCT", "the refill point, volumetric %, between the two");
    soilOption(allowedDepletion_, "--allowed-depletion", "FRACTION",
               "or the refill point from the share of the available water that may\n"
               "be used up: 0.4-0.5 for sensitive crops, up to 0.8 for deep roots");
    soilOption(rootZoneCm_, "--root-zone-cm", "CM", "the root zone's depth, for deficit_mm");
    stuckAfter_ = sub.add_option("--stuck-after", read_.flags.stuckAfter,
                                 "flag a sensor stuck after N readings of the same moisture\n"
                                 "while the temperature moves (default 20)")
                      ->type_name("N")
                      ->check(CLI::Range(2, 1000000))
                      ->group("Soil (see docs/soil.md)");
#ifdef KV_WITH_COLLECT
    sub.add_option("--soil-calibration", calibrationFile_,
                   "a soil calibration (TOML: id, date, samples or a, b, c): every row\n"
                   "also carries moisture_calibrated, volumetric %; check it with soil-fit")
        ->type_name("FILE")
        ->group("Soil (see docs/soil.md)");
#endif
}

bool ReadCommand::checkSoil() {
    soil::SoilSettings& s = read_.soil;
    const auto given = [](const Typed& t) {
        return t.option->count() > 0 ? std::optional<double>(t.value) : std::nullopt;
    };
    s.fieldCapacity = given(fieldCapacity_);
    s.wiltingPoint = given(wiltingPoint_);
    s.refill = given(refill_);
    s.allowedDepletion = given(allowedDepletion_);
    s.rootZoneCm = given(rootZoneCm_);
#ifdef KV_WITH_COLLECT
    if (!calibrationFile_.empty()) {
        const QString path = QString::fromStdString(calibrationFile_);
        collect::SoilCalibration c;
        const std::vector<collect::ConfigError> errors = collect::loadSoilCalibration(path, c);
        for (const collect::ConfigError& e : errors)
            error(collect::describe(path, e));
        if (!errors.empty()) return false;
        if (c.warning) error(QStringLiteral("warning: ") + collect::describe(path, *c.warning));
        s.calibration = c.calibration;
    }
#endif
    read_.withSoil = s.any() || stuckAfter_->count() > 0;
    const QStringList why = s.check();
    if (why.isEmpty()) return true;
    return refuse(why.join(QStringLiteral("; ")));
}

bool ReadCommand::checkPort(GlobalOptions& g) {
    const net::Scheme kind = g.common.port.kind();
    if (kind != net::Scheme::Listen && std::any_of(dialInOnly_.begin(), dialInOnly_.end(),
                                                   [](const CLI::Option* o) { return o->count() > 0; }))
        return refuse(QStringLiteral(
            "--heartbeat, --registration-wait, --dtus and --dtus-wait are for --port listen://"));
    if (kind != net::Scheme::Tcp && kind != net::Scheme::ModbusTcp && reconnectAfterOpt_->count() > 0)
        return refuse(QStringLiteral("--reconnect-after is for --port tcp:// and modbus-tcp://"));
    g.common.reconnectAfter = reconnectAfter_;
    for (const std::string& text : heartbeats_) {
        QByteArray bytes;
        if (!textBytes(text, bytes))
            return refuse(
                QStringLiteral(
                    "--heartbeat '%1': \\xNN, \\\\, \\r and \\n are the escapes, and it may not be empty")
                    .arg(QString::fromStdString(text)));
        listen_.heartbeats.push_back(bytes);
    }
    return true;
}

bool ReadCommand::check(GlobalOptions& g) {
    read_.addresses = g.addresses;
    read_.countGiven = count_->count() > 0;
    read_.everyGiven = every_->count() > 0;
    return checkSoil();
}

int ReadCommand::run(Context& c) {
    const CommonOptions& common = c.options().common;
    if (common.port.kind() != net::Scheme::Listen)
        return c.onSession([this](Session& s) { return runRead(s, read_); });
    // Served without a session: each DTU that dials in is a line of its own.
    if (!c.traceLines(listen_.trace)) return EXIT_USAGE;
    return runListenRead(common, read_, listen_, common.port.where);
}

} // namespace

const CommandRow readRow{nullptr, "read", describeAs<ReadCommand>};

} // namespace kv::cli
