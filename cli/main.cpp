// kv7702r: the sensor from a terminal or a script. Finds sensors at unknown rates and
// addresses, reads and logs moisture and temperature, reads and writes the parameters and any
// register, saves and loads a sensor's settings, changes the address, commissions a row of
// sensors and runs the two-point temperature calibration, checking every reply strictly.
// Needs no display.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/history.h"
#include "cli/options.h"

#include <QCoreApplication>

using namespace kv::cli;

namespace {

// Every command, in the order --help lists them; a subcommand after the one it belongs to.
const std::vector<const CommandRow*> kCommands{
    &scanRow,    &readRow,       &paramsRow,    &paramsSetRow, &paramsSaveRow, &paramsLoadRow,
    &addressRow, &addressSetRow, &calibrateRow, &rawRow,       &historyRow,
#ifdef KV_WITH_COLLECT
    &collectRow, &exportRow,     &soilFitRow,   &wateredRow,
#endif
};

} // namespace

int main(int argc, char** argv) {
    // Qt's own event loop rather than GLib's: fewer instructions a wakeup, and the command line
    // shares its loop with no GLib code.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication qapp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kv7702r"));
    const Parsed parsed = parseCommandLine(argc, argv, kCommands);
    if (!parsed.command) return parsed.exitCode;
    setHistoryOperator(QString::fromStdString(parsed.options.operatorName).trimmed());
    installStopHandler();
    Context context(parsed.options);
    return parsed.command->run(context);
}
