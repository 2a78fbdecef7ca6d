// address set --sequence: commissioning a row of sensors. Each new sensor is plugged in
// alone, found by the address read whatever its address, and given the next address of the
// list, proved by a measurement there.

#include "cli/addresslist.h"
#include "cli/commands.h"
#include "cli/console.h"

#include <QStringList>

namespace kv::cli {

int runAddressSequence(Session& s, const std::vector<int>& newAddresses) {
    std::vector<int> given;
    int code = EXIT_OK;
    for (std::size_t k = 0; k < newAddresses.size() && !stopRequested();) {
        const int to = newAddresses[k];
        const auto answer =
            ask(QStringLiteral("Plug in the next sensor alone, for address %1, and press Enter "
                               "(q to end): ")
                    .arg(to));
        if (!answer || *answer == "q" || *answer == "Q") break;
        const Result r = s.addressRead(s.retries());
        if (stopRequested()) break;
        if (r.answers.size() > 1) {
            QStringList names;
            for (const line::Answer& a : r.answers)
                names << QString::number(a.reply.address);
            error(QStringLiteral("%1 sensors answer (%2): plug in the new one alone")
                      .arg(r.answers.size())
                      .arg(names.join(QStringLiteral(", "))));
            continue;
        }
        if (!r.ok()) {
            error(QStringLiteral("no sensor found: %1; check it and press Enter again").arg(r.detail));
            continue;
        }
        const int present = r.reply.address;
        if (present == to) {
            print(QStringLiteral("address %1: the sensor has it already").arg(to));
        } else {
            s.setAddress(present);
            // Alone on the line, the new address is nobody's: the address read heard one sensor.
            code = runAddressSet(s, {to, true});
            if (code != EXIT_OK) break;
        }
        given.push_back(to);
        ++k;
    }
    // Cut short by Ctrl-C, a row is not commissioned, whatever was given before.
    if (stopRequested() && code == EXIT_OK) {
        error(QStringLiteral("stopped"));
        code = EXIT_NO_REPLY;
    }
    print(QStringLiteral("commissioned %1 sensor(s)%2")
              .arg(given.size())
              .arg(given.empty() ? QString()
                                 : QStringLiteral(": ") + QString::fromStdString(formatAddressList(given))));
    return code;
}

} // namespace kv::cli
