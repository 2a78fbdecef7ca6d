#pragma once
// The collector's configuration: a TOML file read and checked whole, every fault with its place in
// the file, so that a service refuses to start for all of them at once rather than one a restart.

#include "collect/settings.h"
#include "soil/settings.h"

#include <QString>
#include <QtGlobal>

#include <optional>
#include <utility>
#include <vector>

namespace kv::collect {

struct Where {
    int line = 0; // in the file, 1-based; 0: the file as a whole
    int column = 0;
};

struct ConfigError {
    ConfigError(Where where, QString text, QString in = {})
        : at(where), message(std::move(text)), file(std::move(in)) {}
    Where at;
    QString message; // what is wrong and what is allowed
    QString file;    // the file `at` is in, when it is another than the one loaded (a calibration's)
};

// A fit whose residuals' root mean square exceeds this many volumetric points is taken, but said.
constexpr double POOR_FIT_RMS = 3.0;

// A soil calibration as its file (or a collector sensor's inline table) gives it: id, date, and
// gravimetric samples fitted by least squares, or the coefficients of a fit made elsewhere.
struct SoilCalibration {
    soil::Calibration calibration;
    int degree = 1;
    std::vector<soil::SamplePair> samples; // empty: given as coefficients
    std::vector<double> residuals;         // measured minus fitted, per sample
    std::optional<double> rms;             // none without samples
    std::optional<ConfigError> warning;    // a poor fit, at the sample furthest off
    QString file;                          // the file it was read from; empty: inline
};

struct SensorConfig {
    int address = 0;
    QString name; // empty when the file names none
    QString site;
    // depth_cm = 15 gives 15 for both.
    std::optional<int> depthFromCm, depthToCm;
    std::optional<int> everyMs; // none: the bus's
    soil::SoilSettings soil;    // field capacity, wilting point, refill, root zone, calibration; all optional
    std::optional<SoilCalibration> calibration; // the fit behind soil.calibration, to report
    int stuckAfter = 20;    // readings of one raw value, the temperature moving, that flag it stuck
    int alarmAfterS = 900;  // how long a condition holds (or has ended) before its alarm is raised (or ends)
    int riseWithinS = 7200; // after a watering, the moisture should rise by riseBy within this
    double riseBy = 1.0;    // volumetric points
    Where at;
};

struct BusConfig {
    QString name;
    QString port; // as --port takes it, checked only to be a non-empty string here
    Where portAt;
    QString dtu; // with a listen:// port: the registration of the DTU that is this bus
    Where dtuAt;
    QString heartbeat; // with a listen:// port: what its DTU sends to stay connected (\xNN escapes)
    int everyMs = 60000;
    int baud = 0;   // 0: the tool's default
    QString format; // "8N1", "8E1", "8O2"...; empty: the default
    bool echo = false;
    int timeoutMs = 1000;
    int retries = 2;
    std::vector<SensorConfig> sensors;
    Where at;
};

struct SpoolConfig {
    QString path = "/var/lib/kv7702r/spool.db"; // a relative path is taken from the file's folder
    qint64 maxReadings = 1000000;
    int maxAgeDays = 400;
    int drainPerSecond = 20;
};

// The forwarder's settings as the file gives them (the port 8883 with tls when it gives none; the
// password and token read from their files), and what only the file knows.
struct MqttConfig : MqttSettings {
    bool enabled = false;
    QString passwordFile;
};

struct InfluxConfig : InfluxSettings {
    bool enabled = false;
    QString tokenFile, passwordFile;
    int batch = 500;
};

struct HttpConfig {
    bool enabled = false;
    QString listen = "127.0.0.1:9107";
};

struct CollectorConfig {
    SpoolConfig spool;
    MqttConfig mqtt;
    InfluxConfig influx;
    HttpConfig metrics;
    std::vector<BusConfig> buses;
};

// A sensor's key in topics, the spool and the log: "<bus>/<address>".
[[nodiscard]] QString sensorKey(const BusConfig& b, int address);
// The sensor with that key; none when the configuration has no such sensor.
[[nodiscard]] const SensorConfig* sensorOf(const CollectorConfig& c, const QString& key);

// Every error of the file, in file order; empty when `out` is sound. The secrets' files are read
// here; relative paths in the file are taken from the file's folder.
[[nodiscard]] std::vector<ConfigError> loadConfig(const QString& path, CollectorConfig& out);
// A soil calibration's file, every error with its place; empty when `out` is sound.
[[nodiscard]] std::vector<ConfigError> loadSoilCalibration(const QString& path, SoilCalibration& out);
// "plot3-2026-05 of 2026-05-04: vwc = 1.5 + 0.9*raw", and ", rms 0.00 points over 4 samples" when fitted.
[[nodiscard]] QString calibrationText(const SoilCalibration& c);
// "FILE:LINE:COL: message", or "FILE: message" for the file as a whole; the error's own file when it
// has one.
[[nodiscard]] QString describe(const QString& path, const ConfigError& e);

} // namespace kv::collect
