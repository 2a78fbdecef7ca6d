// kv7702r: the sensor from a terminal or a script. Finds sensors at unknown rates and
// addresses, reads and logs moisture and temperature, reads and writes the parameters,
// changes the address and runs the two-point temperature calibration, checking every
// reply strictly. Needs no display.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/listenread.h"
#include "cli/options.h"

#include <QCoreApplication>

using namespace kv::cli;

namespace {

int dispatch(Session& session, const Invocation& inv) {
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
        return runParamsSet(session, inv.parameter, inv.raw);
    case Command::AddressRead:
        return runAddressRead(session);
    case Command::AddressSet:
        return runAddressSet(session, inv.newAddress, inv.force);
    case Command::Calibrate:
        return runCalibrate(session, inv.calibrate);
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
    if (inv.command == Command::ListenRead) return runListenRead(inv.common, inv.read, inv.listen, inv.where);
    Session session(inv.common);
    if (const int code = session.open(); code != EXIT_OK) return code;
    return dispatch(session, inv);
}
