// raw: any register read (function 3 or 4) or written (6 or 16) through the same line
// discipline and strict judge as every subcommand, the values in decimal, hex and signed,
// the sensor's known registers named, and every write read back.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/verifiedwrite.h"
#include "sensor/registers.h"

#include <CLI/CLI.hpp>

namespace kv::cli {
namespace {

QString registerName(std::uint16_t reg, bool write) {
    const sensor::KnownRegister* k = sensor::knownRegister(reg, write);
    return k ? QLatin1String(k->name) : QStringLiteral("-");
}

// "       6  0x0006  la                   9940  0x26D4    9940"
QString row(std::uint16_t reg, std::uint16_t value, bool write) {
    return QStringLiteral("%1  %2  %3  %4  %5  %6")
        .arg(reg, 8)
        .arg(hexWord(reg))
        .arg(registerName(reg, write), -16)
        .arg(value, 7)
        .arg(hexWord(value))
        .arg(static_cast<std::int16_t>(value), 6);
}

QString header() {
    return QStringLiteral("register  hex     name              decimal  hex     signed");
}

int rawRead(Session& s, const RawOptions& o) {
    const Frame f = sensor::readRequest(s.address(), o.reg, static_cast<std::uint16_t>(o.count),
                                        static_cast<std::uint8_t>(o.function));
    const Result r = s.request(f, sensor::expectRead(f), s.retries());
    if (!r.ok()) {
        error(QStringLiteral("reading %1 register(s) from %2 at address %3 failed: %4")
                  .arg(o.count)
                  .arg(hexWord(o.reg))
                  .arg(s.address())
                  .arg(r.detail));
        return exitCodeFor(r.outcome);
    }
    print(header());
    for (int k = 0; k < o.count; ++k)
        print(row(static_cast<std::uint16_t>(o.reg + k), r.reply.registers[static_cast<std::size_t>(k)],
                  false));
    return EXIT_OK;
}

int rawWrite(Session& s, const RawOptions& o) {
    RegisterWrite w;
    w.what = QStringLiteral("register %1").arg(hexWord(o.reg));
    w.values = o.values;
    for (std::size_t k = 0; k < o.values.size(); ++k) {
        const auto reg = static_cast<std::uint16_t>(o.reg + k);
        w.readAt.push_back(sensor::readBackRegister(reg).value_or(reg));
        // What it held first: a write whose acknowledgement goes astray is told against it.
        const Result old = s.readRegister(w.readAt.back());
        if (!old.ok()) {
            error(QStringLiteral("reading register %1, where %2 is read back, failed: %3; nothing written")
                      .arg(hexWord(w.readAt.back()), hexWord(reg), old.detail));
            return exitCodeFor(old.outcome);
        }
        w.old.push_back(old.reply.registers[0]);
    }
    if (o.function == MODBUS_FC_WRITE_SINGLE_REGISTER) {
        const Frame f = sensor::writeRequest(s.address(), o.reg, o.values.front());
        w.request = toBytes(f);
        w.expect = sensor::expectEcho(f);
    } else {
        w.request = sensor::writeMultipleRequest(s.address(), o.reg, o.values);
        w.expect = sensor::expectWriteMultiple(w.request);
    }
    std::vector<std::uint16_t> held;
    const Written done = writeChecked(s, w, &held);
    if (done.state != Written::Yes) return done.code;
    print(header() + QStringLiteral("  read back at"));
    for (std::size_t k = 0; k < o.values.size(); ++k)
        print(row(static_cast<std::uint16_t>(o.reg + k), o.values[k], true) +
              QStringLiteral("  %1 (was %2)").arg(hexWord(w.readAt[k])).arg(w.old[k]));
    print(done.readBack ? QStringLiteral("written (acknowledgement lost, read back)")
                        : QStringLiteral("written and verified"));
    return EXIT_OK;
}

} // namespace

QString hexWord(std::uint16_t value) {
    return QStringLiteral("0x") + QString::number(value, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

std::optional<std::uint16_t> parseWord(const std::string& text) {
    const QString t = QString::fromStdString(text).trimmed();
    bool ok = false;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const uint v = t.mid(2).toUInt(&ok, 16);
        if (!ok || v > 0xFFFF) return std::nullopt;
        return static_cast<std::uint16_t>(v);
    }
    const int v = t.toInt(&ok, 10);
    if (!ok || v < -32768 || v > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(v < 0 ? v + 65536 : v);
}

int runRaw(Session& s, const RawOptions& o) {
    return o.values.empty() ? rawRead(s, o) : rawWrite(s, o);
}

namespace {

// The registers raw names, for its help.
std::string registerHelp() {
    std::string text =
        "Known registers, by the reads (function 3 or 4) and writes (6 or 16) that reach them:\n";
    for (const bool write : {false, true})
        for (const sensor::KnownRegister& k : sensor::knownRegisters(write)) {
            const QString line = QStringLiteral("  %1 %2  %3  %4\n")
                                     .arg(QLatin1String(write ? "write" : "read "), hexWord(k.reg))
                                     .arg(QLatin1String(k.name), -16)
                                     .arg(QLatin1String(k.meaning));
            text += line.toStdString();
        }
    return text + "A write is read back where the sensor shows it: a parameter at the register it is read\n"
                  "from (0x0A08, la, at 0x0006), any other register where it was written. The address\n"
                  "register is changed with kv7702r address set, which checks and proves the new address.";
}

class RawCommand : public Command {
public:
    explicit RawCommand(CLI::App& sub) {
        sub.description("any register: read --count registers from --register, or write the VALUES there;\n"
                        "values shown in decimal, hex and signed, known registers named, writes read back");
        sub.add_option("--function", function_,
                       "3 or 4 to read (default 3), 6 or 16 to write (default 6 for\n"
                       "one value, 16 for several)")
            ->type_name("F")
            ->check(CLI::IsMember({3, 4, 6, 16}));
        sub.add_option("--register", register_, "first register, decimal or 0x hex (default 0)")
            ->type_name("R");
        count_ = sub.add_option("--count", o_.count, "registers to read (default 1)")
                     ->type_name("N")
                     ->check(CLI::Range(1, sensor::MAX_READ_COUNT));
        sub.add_option("VALUES", values_, "values to write, decimal (-32768 to 65535) or 0x hex");
        sub.footer(registerHelp());
    }
    [[nodiscard]] bool check(GlobalOptions& g) override;
    [[nodiscard]] int run(Context& c) override {
        return c.onSession([this](Session& s) { return runRaw(s, o_); });
    }

private:
    RawOptions o_;
    std::optional<int> function_;
    std::string register_ = "0";
    std::vector<std::string> values_;
    CLI::Option* count_ = nullptr;
};

bool RawCommand::check(GlobalOptions& /*g*/) {
    RawOptions& o = o_; // as runRaw names them
    const auto reg = parseWord(register_);
    if (!reg || QString::fromStdString(register_).trimmed().startsWith(QLatin1Char('-')))
        return refuse(QStringLiteral("--register: '%1' is no register 0-65535 (decimal or 0x hex)")
                          .arg(QString::fromStdString(register_)));
    o.reg = *reg;
    for (const std::string& text : values_) {
        const auto v = parseWord(text);
        if (!v)
            return refuse(QStringLiteral("'%1' is no 16-bit value: -32768 to 65535, or 0x0000 to 0xFFFF")
                              .arg(QString::fromStdString(text)));
        o.values.push_back(*v);
    }
    const bool writing = !o.values.empty();
    o.function = function_              ? *function_
                 : !writing             ? MODBUS_FC_READ_HOLDING_REGISTERS
                 : o.values.size() == 1 ? MODBUS_FC_WRITE_SINGLE_REGISTER
                                        : MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    const bool writeFunction =
        o.function == MODBUS_FC_WRITE_SINGLE_REGISTER || o.function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    if (writing != writeFunction)
        return refuse(writing
                          ? QStringLiteral("function %1 reads; values are written with function 6 or 16")
                                .arg(o.function)
                          : QStringLiteral("function %1 writes: give the values to write").arg(o.function));
    if (writing && count_->count() > 0)
        return refuse(QStringLiteral("--count is for reads; a write writes as many registers as values"));
    if (o.function == MODBUS_FC_WRITE_SINGLE_REGISTER && o.values.size() > 1)
        return refuse(QStringLiteral("function 6 writes one register; function 16 writes several"));
    if (static_cast<int>(o.values.size()) > sensor::MAX_WRITE_COUNT)
        return refuse(QStringLiteral("function 16 writes at most %1 registers").arg(sensor::MAX_WRITE_COUNT));
    const int span = writing ? static_cast<int>(o.values.size()) : o.count;
    if (o.reg + span - 1 > 0xFFFF)
        return refuse(QStringLiteral("registers %1 and on run past 65535").arg(o.reg));
    for (int k = 0; writing && k < span; ++k)
        if (o.reg + k == sensor::REG_ADDRESS)
            return refuse(QStringLiteral(
                "register 0x0B00 is the address: kv7702r address set changes it, checking the new "
                "address is free and proving the change"));
    return true;
}

} // namespace

const CommandRow rawRow{nullptr, "raw", describeAs<RawCommand>};

} // namespace kv::cli
