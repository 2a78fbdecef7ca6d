// kv7702r: the sensor from a terminal or a script. Finds sensors at unknown rates and
// addresses, reads and logs moisture and temperature, reads and writes the parameters and any
// register, saves and loads a sensor's settings, changes the address, commissions a row of
// sensors and runs the two-point temperature calibration, checking every reply strictly.
// Needs no display.

#include "cli/batch.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/listenread.h"
#include "cli/options.h"
#include "cli/paramsio.h"
#include "cli/trace.h"

#include <QCoreApplication>

using namespace kv::cli;

namespace {

// `file`: the params file the command reads, read before the port was opened.
int dispatch(Session& session, const Invocation& inv, const std::optional<ParamsFile>& file) {
    switch (inv.command) {
    case Command::Scan:
        return runScan(session, inv.scan);
    case Command::Read:
        return runRead(session, inv.read);
    case Command::ListenRead: // served without a session
        break;
    case Command::Params:
        return runParams(session);
    case Command::ParamsSet:
        return forEachAddress(session, inv.addresses,
                              [&] { return runParamsSet(session, inv.parameter, inv.raw); });
    case Command::ParamsSave:
        return runParamsSave(session, inv.file);
    case Command::ParamsLoad:
        return runParamsLoad(session, inv.file, *file, inv.force, inv.addresses);
    case Command::AddressRead:
        return runAddressRead(session);
    case Command::AddressSet:
        return runAddressSet(session, inv.newAddress, inv.force);
    case Command::AddressSequence:
        return runAddressSequence(session, inv.addresses);
    case Command::Calibrate:
        return runCalibrate(session, inv.calibrate);
    case Command::CalibrateUndo:
        return runCalibrateUndo(session, inv.file, *file);
    case Command::Raw:
        return runRaw(session, inv.rawAccess);
    }
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication qapp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kv7702r"));
    const Parsed parsed = parseCommandLine(argc, argv);
    if (!parsed.invocation) return parsed.exitCode;
    installStopHandler();
    const Invocation& inv = *parsed.invocation;
    TraceSink trace;
    if (inv.command == Command::ListenRead) {
        if (!inv.trace.empty() &&
            !trace.open(inv.trace, WallClock::tiedAt(kv::LineClock::now().time_since_epoch().count())))
            return EXIT_USAGE;
        ListenOptions listen = inv.listen;
        if (!inv.trace.empty())
            listen.trace = [&trace](const kv::line::LineEvent& e, const QString& port) {
                trace.write(e, port);
            };
        return runListenRead(inv.common, inv.read, listen, inv.where);
    }
    // A params file is read before the port is opened: a bad one, or a pipe that never ends,
    // holds no port and sends nothing.
    std::optional<ParamsFile> file;
    if (inv.command == Command::ParamsLoad || inv.command == Command::CalibrateUndo) {
        file = readParams(inv.file);
        if (!file) return EXIT_USAGE;
    }
    Session session(inv.common);
    // The trace file is checked before the port is touched: a usage error sends nothing.
    if (!inv.trace.empty()) {
        if (!trace.open(inv.trace, session.wallClock())) return EXIT_USAGE;
        session.observe([&trace](const kv::line::LineEvent& e) { trace.write(e); });
    }
    if (const int code = session.open(); code != EXIT_OK) return code;
    return dispatch(session, inv, file);
}
