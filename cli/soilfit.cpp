// soil-fit: a soil calibration's file read as read --soil-calibration and the collector read it,
// and the fit shown: its coefficients, each sample against the fitted line, the rms. Needs no port.

#include "cli/commands.h"
#include "cli/console.h"
#include "collect/config.h"

#include <CLI/CLI.hpp>

#include <cmath>

namespace kv::cli {
namespace {

int runSoilFit(const QString& path) {
    collect::SoilCalibration c;
    const std::vector<collect::ConfigError> errors = collect::loadSoilCalibration(path, c);
    for (const collect::ConfigError& e : errors)
        error(collect::describe(path, e));
    if (!errors.empty()) return EXIT_USAGE;
    const soil::Calibration& k = c.calibration;
    print(QStringLiteral("calibration %1 of %2, degree %3")
              .arg(k.id, k.date.toString(Qt::ISODate))
              .arg(c.degree));
    print(QStringLiteral("vwc = a + b*raw + c*raw^2 with a %1, b %2, c %3")
              .arg(k.a, 0, 'g', 6)
              .arg(k.b, 0, 'g', 6)
              .arg(k.c, 0, 'g', 6));
    if (c.samples.empty()) {
        print(QStringLiteral("given as coefficients: no samples to show"));
        return EXIT_OK;
    }
    print(QStringLiteral("%1  %2  %3  %4")
              .arg(QStringLiteral("raw %"), 8)
              .arg(QStringLiteral("measured %"), 10)
              .arg(QStringLiteral("fitted %"), 10)
              .arg(QStringLiteral("residual"), 10));
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        print(QStringLiteral("%1  %2  %3  %4")
                  .arg(c.samples[i].raw, 8, 'f', 2)
                  .arg(c.samples[i].vwc, 10, 'f', 2)
                  .arg(k.apply(c.samples[i].raw), 10, 'f', 2)
                  .arg(std::fabs(c.residuals[i]) < 0.005 ? 0.0 : c.residuals[i], 10, 'f', 2)); // no "-0.00"
    print(QStringLiteral("rms %1 points over %2 samples")
              .arg(c.rms.value_or(0), 0, 'f', 2)
              .arg(c.samples.size()));
    if (c.warning) error(QStringLiteral("warning: ") + collect::describe(path, *c.warning));
    return EXIT_OK;
}

class SoilFitCommand final : public Command {
public:
    explicit SoilFitCommand(CLI::App& sub) {
        sub.description("Reads a soil calibration's file (TOML: id, date, degree, samples or a, b, c) and "
                        "shows the fit: coefficients, each sample's residual, the rms. Exit 1 with the "
                        "file's errors, each at its line. See docs/soil.md.");
        sub.add_option("FILE", path_, "the calibration's file")->required();
    }
    bool checkPort(GlobalOptions& /*options*/) override { return true; }
    int run(Context& /*context*/) override { return runSoilFit(QString::fromStdString(path_)); }

private:
    std::string path_;
};

} // namespace

const CommandRow soilFitRow{nullptr, "soil-fit", describeAs<SoilFitCommand>};

} // namespace kv::cli
