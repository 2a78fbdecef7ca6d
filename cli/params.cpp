// params: the seven parameters read, or one written and read back.

#include "cli/batch.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/history.h"
#include "cli/verifiedwrite.h"
#include "sensor/values.h"

#include <CLI/CLI.hpp>

namespace kv::cli {
namespace {

QString parameterLine(int i, std::uint16_t raw) {
    const auto& info = sensor::parameterInfo(i);
    const QString meaning = sensor::parameterMeaning(i, raw);
    return QStringLiteral("%1  %2  %3  register %4  raw %5  value %6%7")
        .arg(i)
        .arg(QLatin1String(info.key), -15)
        .arg(QLatin1String(info.label), -34)
        .arg(sensor::parameterReadRegister(i))
        .arg(raw, 5)
        .arg(sensor::parameterText(i, raw), -7)
        .arg(meaning.isEmpty() ? QString() : QStringLiteral("  (") + meaning + QLatin1Char(')'))
        .trimmed();
}

} // namespace

int runParams(Session& s) {
    int code = EXIT_OK;
    for (int i = 0; i < sensor::PARAMETER_COUNT; ++i) {
        const Result r = s.readParameter(i);
        if (r.ok()) {
            print(parameterLine(i, r.reply.registers[0]));
            continue;
        }
        print(QStringLiteral("%1  %2  %3")
                  .arg(i)
                  .arg(QLatin1String(sensor::parameterInfo(i).key), -15)
                  .arg(r.detail));
        code = exitCodeFor(r.outcome);
        if (r.outcome == Outcome::Lost || r.outcome == Outcome::Stopped) break;
    }
    return code;
}

int runParamsSet(Session& s, const ParamsSetOptions& o) {
    const int i = o.index;
    const std::uint16_t raw = o.raw;
    // What it held first: a write whose acknowledgement goes astray is told against it.
    const Result old = s.readParameter(i);
    if (!old.ok()) {
        error(QStringLiteral("reading %1 failed: %2; nothing written")
                  .arg(QLatin1String(sensor::parameterInfo(i).key), old.detail));
        return exitCodeFor(old.outcome);
    }
    const Written w = writeVerified(s, i, raw, old.reply.registers[0]);
    QJsonObject entry = historyEntry(s, QStringLiteral("params set"));
    entry.insert(QStringLiteral("writes"), QJsonArray{writeRecord(i, old.reply.registers[0], raw, w)});
    appendHistory(entry);
    if (w.state == Written::Yes)
        print(parameterLine(i, raw) + (w.readBack
                                           ? QStringLiteral("  written (acknowledgement lost, read back)")
                                           : QStringLiteral("  written and verified")));
    return w.code;
}

namespace {

std::string parameterHelp() {
    std::string text = "NAME is one of (or its number 0-6):\n";
    for (int i = 0; i < sensor::PARAMETER_COUNT; ++i) {
        const auto& p = sensor::parameterInfo(i);
        text += "  " + std::to_string(i) + "  " + p.key + std::string(17 - std::string(p.key).size(), ' ') +
                p.label + " (" + p.hint + ")\n";
    }
    text += "VALUE is typed as in the window: the scale as a factor (1.0000 is 10000), the others as the\n"
            "register value; a negative number is stored as its 16-bit two's complement.\n"
            "Register 8, where the hardware range is read back, is also the register of the PT100\n"
            "resistance; a sensor that reports the resistance there cannot verify a range write.";
    return text;
}

class ParamsCommand : public Command {
public:
    explicit ParamsCommand(CLI::App& sub) {
        sub.description("the seven parameters: name, register, raw value and value in its unit");
        sub.footer(parameterHelp());
    }
    [[nodiscard]] int run(Context& c) override { return c.onSession(runParams); }
};

class ParamsSetCommand : public Command {
public:
    explicit ParamsSetCommand(CLI::App& sub) {
        sub.description(
            "write a parameter with the window's conversion, read it back and fail unless it holds "
            "what was written");
        sub.add_option("NAME", name_, "parameter name or number 0-6")->required();
        sub.add_option("VALUE", value_, "value as typed in the window")->required();
        sub.add_flag("--force", force_, "write a value outside the range listed below");
        sub.footer(parameterHelp() +
                   "\nWith an --address list (1-3), each sensor in turn, stopping at the first failure.");
    }
    [[nodiscard]] bool takesAddressList() const override { return true; }
    [[nodiscard]] bool check(GlobalOptions& g) override;
    [[nodiscard]] int run(Context& c) override {
        return c.onSession([&](Session& s) {
            return forEachAddress(s, c.options().addresses, [&] { return runParamsSet(s, o_); });
        });
    }

private:
    std::string name_;
    std::string value_;
    bool force_ = false;
    ParamsSetOptions o_;
};

bool ParamsSetCommand::check(GlobalOptions& /*g*/) {
    const QString name = QString::fromStdString(name_);
    const QString value = QString::fromStdString(value_);
    const int i = sensor::parameterIndex(name);
    if (i < 0) return refuse(QStringLiteral("unknown parameter '%1'; see kv7702r params --help").arg(name));
    const auto enc = sensor::encodeParameter(i, value);
    const QLatin1String key(sensor::parameterInfo(i).key);
    if (enc.error != sensor::EncodeError::None)
        return refuse(
            QStringLiteral("'%1' cannot be written to %2: %3").arg(value, key, sensor::describe(enc.error)));
    if (!force_ && !sensor::parameterInRange(i, enc.raw))
        return refuse(QStringLiteral("'%1' is outside the range of %2 (%3); --force writes it anyway")
                          .arg(value, key, QLatin1String(sensor::parameterInfo(i).hint)));
    o_ = {i, enc.raw};
    return true;
}

} // namespace

const CommandRow paramsRow{nullptr, "params", describeAs<ParamsCommand>};
const CommandRow paramsSetRow{"params", "set", describeAs<ParamsSetCommand>};

} // namespace kv::cli
