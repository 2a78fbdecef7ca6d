// raw: any register read (function 3 or 4) or written (6 or 16) through the same line
// discipline and strict judge as every subcommand, the values in decimal, hex and signed,
// the sensor's known registers named, and every write read back.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/verifiedwrite.h"
#include "sensor/registers.h"

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

} // namespace kv::cli
