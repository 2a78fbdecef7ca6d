#include "cli/batch.h"

#include "cli/addresslist.h"
#include "cli/console.h"

namespace kv::cli {
namespace {

QString listText(const std::vector<int>& addresses) {
    return addresses.empty() ? QStringLiteral("none") : QString::fromStdString(formatAddressList(addresses));
}

} // namespace

int forEachAddress(Session& s, const std::vector<int>& addresses, const std::function<int()>& job) {
    if (addresses.size() == 1) {
        s.setAddress(addresses.front());
        return job();
    }
    std::vector<int> done;
    for (std::size_t k = 0; k < addresses.size(); ++k) {
        if (stopRequested()) break;
        s.setAddress(addresses[k]);
        print(QStringLiteral("== address %1").arg(addresses[k]));
        const int code = job();
        if (code == EXIT_OK) {
            done.push_back(addresses[k]);
            continue;
        }
        error(QStringLiteral("stopped at address %1; done: %2; not tried: %3")
                  .arg(addresses[k])
                  .arg(listText(done),
                       listText({addresses.begin() + static_cast<std::ptrdiff_t>(k) + 1, addresses.end()})));
        return code;
    }
    print(QStringLiteral("done: %1 (%2 of %3 sensors)")
              .arg(listText(done))
              .arg(done.size())
              .arg(addresses.size()));
    return done.size() == addresses.size() ? EXIT_OK : EXIT_NO_REPLY;
}

} // namespace kv::cli
