// export: the readings the collector's spool keeps, as CSV or as the International Soil Moisture
// Network's station files, read beside a running collector.

#include "collect/export.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "collect/config.h"
#include "collect/spool.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <limits>
#include <tuple>

namespace kv::cli {
namespace {

struct ExportOptions {
    QString config;
    bool ismn = false;
    QString out; // ISMN: a folder; CSV: a file, "-" for stdout
    qint64 fromMs = std::numeric_limits<qint64>::min();
    qint64 toMs = std::numeric_limits<qint64>::max();
    collect::IsmnOptions station;
};

// Writes the text whole or not at all.
bool writeWhole(const QString& path, const QByteArray& text) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit()) return true;
    error(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return false;
}

int runExport(ExportOptions o) {
    collect::CollectorConfig config;
    if (!loadChecked(o.config, config)) return EXIT_USAGE;
    for (const collect::BusConfig& b : config.buses)
        for (const collect::SensorConfig& s : b.sensors)
            if (s.depthFromCm)
                o.station.depthsCm[collect::sensorKey(b, s.address)] = {*s.depthFromCm,
                                                                        s.depthToCm.value_or(*s.depthFromCm)};
    QString why;
    const auto spool = collect::Spool::openReadOnly(config.spool.path, &why);
    if (!spool) {
        error(QStringLiteral("cannot read the spool %1: %2").arg(config.spool.path, why));
        return EXIT_USAGE;
    }
    collect::IsmnExport ismn(o.station);
    // CSV goes out as it is read: a year of readings need not fit in memory.
    QFile console;
    QSaveFile file(o.out);
    QIODevice* csv = nullptr;
    if (!o.ismn) {
        const bool open = o.out == QLatin1String("-") ? console.open(stdout, QIODevice::WriteOnly)
                                                      : file.open(QIODevice::WriteOnly);
        csv = o.out == QLatin1String("-") ? static_cast<QIODevice*>(&console) : &file;
        if (!open) {
            error(QStringLiteral("cannot write %1: %2").arg(o.out, csv->errorString()));
            return EXIT_USAGE;
        }
    }
    // The calibration's columns only where a reading in the range has them: exports of spools without
    // any stay as they were.
    bool calibrated = false;
    if (!o.ismn && !spool->readings(
                       o.fromMs, o.toMs,
                       [&](const collect::Record& r) {
                           calibrated = collect::carriesCalibration(r);
                           return !calibrated;
                       },
                       &why)) {
        error(QStringLiteral("reading the spool %1 failed: %2").arg(config.spool.path, why));
        return EXIT_USAGE;
    }
    if (csv) csv->write(collect::exportCsvHeader(calibrated));
    qint64 count = 0;
    qint64 unreadable = 0;
    const bool read = spool->readings(
        o.fromMs, o.toMs,
        [&](const collect::Record& r) {
            const auto reading = collect::exportReading(r, &why);
            if (!reading) {
                if (unreadable++ == 0) error(why);
                return true;
            }
            ++count;
            if (o.ismn)
                ismn.add(*reading);
            else
                csv->write(collect::exportCsvRow(*reading, calibrated));
            return true;
        },
        &why);
    if (!read) {
        error(QStringLiteral("reading the spool %1 failed: %2").arg(config.spool.path, why));
        return EXIT_USAGE;
    }
    if (unreadable > 0)
        error(QStringLiteral("%1 reading(s) left out: their JSON is unreadable").arg(unreadable));
    if (!o.ismn) {
        if (csv == &console) return console.flush() ? EXIT_OK : EXIT_USAGE;
        if (!file.commit()) {
            error(QStringLiteral("cannot write %1: %2").arg(o.out, file.errorString()));
            return EXIT_USAGE;
        }
        error(QStringLiteral("%1 reading(s) written to %2").arg(count).arg(o.out));
        return EXIT_OK;
    }
    QStringList notes;
    const std::vector<collect::IsmnFile> files = ismn.files(&notes);
    for (const QString& note : notes)
        error(note);
    for (const collect::IsmnFile& f : files) {
        const QString path = QDir(o.out).filePath(f.path);
        if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
            error(QStringLiteral("cannot make the folder %1").arg(QFileInfo(path).absolutePath()));
            return EXIT_USAGE;
        }
        if (!writeWhole(path, f.text)) return EXIT_USAGE;
        print(path);
    }
    if (files.empty()) error(QStringLiteral("no hourly value in the range: no station file written"));
    return EXIT_OK;
}

class ExportCommand final : public Command {
public:
    explicit ExportCommand(CLI::App& sub) {
        sub.description("Writes the readings the collector's spool keeps: as the International Soil "
                        "Moisture Network's station files (--ismn, hourly, m3/m3, UTC) or as CSV (--csv)");
        sub.add_option("--config", config_, "The collector's configuration (TOML)")->required();
        auto* ismn = sub.add_flag("--ismn", ismn_, "ISMN station files, one per sensor, depth and variable");
        auto* csv = sub.add_flag("--csv", csv_, "every reading as a CSV row");
        ismn->excludes(csv);
        sub.add_option("--out", out_,
                       "ISMN: the folder (NETWORK/STATION/ made below it); CSV: the file, - for "
                       "stdout (default)");
        sub.add_option("--from", from_, "the first day or time: 2026-06-01 or 2026-06-01T12:00Z")
            ->type_name("T");
        sub.add_option("--to", to_, "the last day (included) or the time to stop before")->type_name("T");
        sub.add_option("--network", network_, "ISMN: the network's name (default KV7702R)")
            ->type_name("NAME");
        sub.add_option("--latitude", latitude_, "ISMN: the stations' latitude, decimal degrees (default NaN)")
            ->type_name("DEG");
        sub.add_option("--longitude", longitude_,
                       "ISMN: the stations' longitude, decimal degrees (default NaN)")
            ->type_name("DEG");
        sub.add_option("--elevation", elevation_,
                       "ISMN: the stations' height above sea level, m (default NaN)")
            ->type_name("M");
    }
    bool checkPort(GlobalOptions& /*options*/) override { return true; }
    bool check(GlobalOptions& /*options*/) override;
    int run(Context& /*context*/) override { return runExport(o_); }

private:
    ExportOptions o_;
    std::string config_, out_, from_, to_, network_;
    std::optional<double> latitude_, longitude_, elevation_;
    bool ismn_ = false, csv_ = false;
};

bool ExportCommand::check(GlobalOptions& /*options*/) {
    if (!ismn_ && !csv_) return refuse(QStringLiteral("give --ismn or --csv: the format to write"));
    o_.config = QString::fromStdString(config_);
    o_.ismn = ismn_;
    o_.out = QString::fromStdString(out_);
    if (ismn_ && o_.out.isEmpty())
        return refuse(QStringLiteral("--ismn needs --out DIR: the folder to write to"));
    if (ismn_ && o_.out == QLatin1String("-"))
        return refuse(QStringLiteral("--ismn writes a folder of files: give --out DIR, not -"));
    if (o_.out.isEmpty()) o_.out = QStringLiteral("-");
    for (const auto& [text, end, to] :
         {std::tuple{&from_, false, &o_.fromMs}, std::tuple{&to_, true, &o_.toMs}}) {
        if (text->empty()) continue;
        const auto at = collect::parseExportTime(QString::fromStdString(*text), end);
        if (!at)
            return refuse(
                QStringLiteral("--%1 '%2': give a day (2026-06-01) or a time with its zone "
                               "(2026-06-01T12:00Z, 2026-06-01T14:00+02:00)")
                    .arg(end ? QStringLiteral("to") : QStringLiteral("from"), QString::fromStdString(*text)));
        *to = *at;
    }
    if (o_.fromMs >= o_.toMs) return refuse(QStringLiteral("--from must come before --to"));
    if (!network_.empty()) {
        o_.station.network = QString::fromStdString(network_);
        if (collect::ismnName(o_.station.network) != o_.station.network)
            return refuse(
                QStringLiteral("--network '%1': letters, digits, '-' and '.' only (ISMN's file names "
                               "are split at '_')")
                    .arg(o_.station.network));
    }
    const auto coordinate = [](const std::optional<double>& v, double limit, int decimals, const char* name,
                               QString& to) {
        if (!v) return true;
        if (!(std::abs(*v) <= limit))
            return refuse(
                QStringLiteral("--%1 %2: at most %3 either way").arg(QLatin1String(name)).arg(*v).arg(limit));
        to = QString::number(*v, 'f', decimals);
        return true;
    };
    return coordinate(latitude_, 90, 5, "latitude", o_.station.latitude) &&
           coordinate(longitude_, 180, 5, "longitude", o_.station.longitude) &&
           coordinate(elevation_, 12000, 2, "elevation", o_.station.elevation);
}

} // namespace

const CommandRow exportRow{nullptr, "export", describeAs<ExportCommand>};

} // namespace kv::cli
