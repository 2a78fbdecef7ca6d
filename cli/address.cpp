// address: the address of the connected sensor read, or changed and proved by a
// measurement at the new address.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/history.h"
#include "cli/readings.h"

#include <CLI/CLI.hpp>

#include <QStringList>

namespace kv::cli {
namespace {

bool answers(const Result& r) {
    return r.ok() || r.outcome == Outcome::Exception;
}

// Two sensors on one address would answer together from then on, so a change to an address
// that answers already (a late answer counts) is refused: the exit code then, else none.
std::optional<int> refusedAsTaken(Session& s, int newAddress) {
    const auto at = static_cast<std::uint8_t>(newAddress);
    const Result there = s.measure(at);
    const Outcome o = there.outcome;
    if (o == Outcome::Lost || o == Outcome::Stopped || o == Outcome::Echo || o == Outcome::Busy) {
        error(QStringLiteral("checking address %1 failed: %2").arg(newAddress).arg(there.detail));
        return exitCodeFor(o);
    }
    if (o == Outcome::Timeout && there.tally.lateFrom(at) == 0) return std::nullopt;
    error(QStringLiteral("address %1 answers already (%2); nothing written. Another sensor on this "
                         "line uses it; --force changes the address anyway")
              .arg(newAddress)
              .arg(there.ok()              ? measurementText(there.reply)
                   : o == Outcome::Timeout ? QStringLiteral("late")
                                           : there.detail));
    return EXIT_DEVICE;
}

// The change kept in the history: whether the sensor moved ("yes", "no", "unknown"), and the
// measurement that told.
void recordChange(const Session& s, int newAddress, const char* moved, bool acknowledged, const Result& m) {
    QJsonObject e = historyEntry(s, QStringLiteral("address set"));
    e.insert(QStringLiteral("newAddress"), newAddress);
    e.insert(QStringLiteral("moved"), QLatin1String(moved));
    e.insert(QStringLiteral("acknowledged"), acknowledged);
    e.insert(QStringLiteral("measurement"), measurementOrWhy(m));
    appendHistory(e);
}

// The acknowledgement of the change went astray: where the sensor answers now tells.
int afterLostAcknowledgement(Session& s, int newAddress, const Result& w) {
    const QString unknown = QStringLiteral("address change unknown: the sensor answers at neither %1 nor %2; "
                                           "the change to %2 was sent (%3)")
                                .arg(s.address())
                                .arg(newAddress);
    if (w.outcome == Outcome::Stopped ||
        (w.outcome == Outcome::Lost && !s.reopenWithin(REOPEN_FOR_READ_BACK_MS))) {
        error(unknown.arg(w.detail));
        recordChange(s, newAddress, "unknown", false, w);
        return EXIT_NO_REPLY;
    }
    const Result moved = s.measure(static_cast<std::uint8_t>(newAddress));
    if (answers(moved)) {
        print(QStringLiteral("address %1 -> %2 (acknowledgement lost), verified by a measurement at %2: %3")
                  .arg(s.address())
                  .arg(newAddress)
                  .arg(measurementOrWhy(moved)));
        recordChange(s, newAddress, "yes", false, moved);
        return EXIT_OK;
    }
    const Result stayed = s.measure(s.address());
    if (answers(stayed)) {
        error(QStringLiteral("address not changed (%1): the sensor still answers at %2")
                  .arg(w.detail, QString::number(s.address())));
        recordChange(s, newAddress, "no", false, stayed);
        return exitCodeFor(w.outcome);
    }
    error(unknown.arg(w.detail));
    recordChange(s, newAddress, "unknown", false, moved);
    return EXIT_NO_REPLY;
}

} // namespace

int runAddressRead(Session& s) {
    const Result r = s.addressRead(s.retries());
    if (r.answers.size() > 1) {
        QStringList names;
        for (const line::Answer& a : r.answers)
            names << QString::number(a.reply.address);
        error(QStringLiteral("%1 sensors answer the address read: %2; give --address, or let scan find them")
                  .arg(r.answers.size())
                  .arg(names.join(QStringLiteral(", "))));
        return EXIT_DEVICE;
    }
    if (!r.ok()) {
        error(QStringLiteral("address read failed: %1%2")
                  .arg(r.detail, r.outcome == Outcome::Garbled
                                     ? QStringLiteral(" (several sensors on the line? try scan)")
                                     : QString()));
        return exitCodeFor(r.outcome);
    }
    print(QStringLiteral("address %1").arg(r.reply.address));
    return EXIT_OK;
}

int runAddressSet(Session& s, const AddressSetOptions& o) {
    const int newAddress = o.newAddress;
    if (!o.force)
        if (const auto refused = refusedAsTaken(s, newAddress)) return *refused;
    const Result w = s.changeAddress(static_cast<std::uint8_t>(newAddress));
    if (w.outcome == Outcome::Busy) {
        error(QStringLiteral("address not changed: %1").arg(w.detail));
        return exitCodeFor(w.outcome);
    }
    if (!w.ok()) return afterLostAcknowledgement(s, newAddress, w);
    const Result m = s.measure(static_cast<std::uint8_t>(newAddress));
    if (!m.ok()) {
        error(QStringLiteral("verification failed: no measurement at address %1: %2")
                  .arg(newAddress)
                  .arg(measurementOrWhy(m)));
        recordChange(s, newAddress, "unknown", true, m);
        return EXIT_DEVICE;
    }
    recordChange(s, newAddress, "yes", true, m);
    print(QStringLiteral("address %1 -> %2, verified by a measurement at %2: %3")
              .arg(s.address())
              .arg(newAddress)
              .arg(measurementOrWhy(m)));
    return EXIT_OK;
}

namespace {

class AddressCommand : public Command {
public:
    explicit AddressCommand(CLI::App& sub) {
        sub.description("read the address of the connected sensor (device 250 read)");
    }
    [[nodiscard]] bool checkPort(GlobalOptions& g) override {
        if (g.common.port.kind() != net::Scheme::ModbusTcp) return Command::checkPort(g);
        // A gateway answers under the unit asked (250), so the sensor's own address is lost.
        return refuse(QStringLiteral("a Modbus-TCP gateway cannot pass on the address read; find the sensor "
                                     "with kv7702r scan --port %1")
                          .arg(QString::fromStdString(g.common.port.text)));
    }
    [[nodiscard]] int run(Context& c) override { return c.onSession(runAddressRead); }
};

class AddressSetCommand : public Command {
public:
    explicit AddressSetCommand(CLI::App& sub) {
        sub.description(
            "change the address of the sensor at --address to NEW, then prove it by a measurement at NEW");
        new_ = sub.add_option("NEW", o_.newAddress, "new address, 1-247")
                   ->check(CLI::Range(sensor::MIN_ADDRESS, sensor::MAX_ADDRESS));
        sub.add_flag("--force", o_.force, "change it even when NEW answers already");
        sub.add_flag("--sequence", sequence_,
                     "commission a row: each sensor plugged in alone, whatever its address, gets\n"
                     "the next address of --address (5-8: four sensors; 5: 5, 6, ... until q)");
        sub.footer("The window accepts only 1-35 (its hint says 1-250). Modbus allows 1-247 and the virtual\n"
                   "sensor accepts them all; whether a given sensor keeps an address above 35 is shown by\n"
                   "the measurement at the new address, which fails (exit 4) otherwise.");
    }
    [[nodiscard]] bool takesAddressList() const override { return sequence_; }
    [[nodiscard]] bool check(GlobalOptions& g) override;
    [[nodiscard]] int run(Context& c) override {
        return c.onSession([this](Session& s) {
            return sequence_ ? runAddressSequence(s, addresses_) : runAddressSet(s, o_);
        });
    }

private:
    AddressSetOptions o_;
    CLI::Option* new_ = nullptr;
    bool sequence_ = false;
    std::vector<int> addresses_; // --sequence: the new addresses
};

bool AddressSetCommand::check(GlobalOptions& g) {
    if (sequence_ == (new_->count() > 0))
        return refuse(
            sequence_
                ? QStringLiteral("address set --sequence takes the new addresses from --address, not NEW")
                : QStringLiteral("address set: give NEW, or --sequence"));
    if (!sequence_ && o_.newAddress == g.common.address)
        return refuse(QStringLiteral("the sensor has address %1 already").arg(o_.newAddress));
    if (!sequence_) return true;
    addresses_ = g.addresses;
    // One address starts the row: it goes on from there until the operator ends it.
    if (addresses_.size() == 1)
        for (int a = addresses_.front() + 1; a <= sensor::MAX_ADDRESS; ++a)
            addresses_.push_back(a);
    return true;
}

} // namespace

const CommandRow addressRow{nullptr, "address", describeAs<AddressCommand>};
const CommandRow addressSetRow{"address", "set", describeAs<AddressSetCommand>};

} // namespace kv::cli
