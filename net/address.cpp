#include "net/address.h"

namespace kv::net {
namespace {

constexpr int kMaxPort = 65535;

struct Known {
    const char* name;
    Scheme scheme;
};
constexpr Known kSchemes[] = {
    {"tcp", Scheme::Tcp},
    {"modbus-tcp", Scheme::ModbusTcp},
    {"listen", Scheme::Listen},
};

QString schemeName(Scheme s) {
    for (const Known& k : kSchemes)
        if (k.scheme == s) return QLatin1String(k.name);
    return {};
}

PortAddress failed(const QString& text, const QString& why) {
    PortAddress a;
    a.error = QStringLiteral("%1: %2").arg(text, why);
    return a;
}

} // namespace

PortAddress parsePortAddress(const QString& text) {
    const int sep = text.indexOf(QLatin1String("://"));
    if (sep < 0) return PortAddress{};
    const QString scheme = text.left(sep).toLower();
    PortAddress a;
    a.scheme = Scheme::Serial;
    for (const Known& k : kSchemes)
        if (scheme == QLatin1String(k.name)) a.scheme = k.scheme;
    if (a.scheme == Scheme::Serial)
        return failed(text, QStringLiteral("unknown scheme '%1'; give tcp://HOST:PORT, "
                                           "modbus-tcp://HOST[:PORT] or listen://[HOST]:PORT")
                                .arg(text.left(sep)));
    QString rest = text.mid(sep + 3);
    if (rest.endsWith(QLatin1Char('/'))) rest.chop(1);
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) return failed(text, QStringLiteral("an IPv6 address without its closing ]"));
        a.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return failed(text, QStringLiteral("'%1' after the host").arg(after));
        portText = after.mid(1);
        if (after == QLatin1String(":")) return failed(text, QStringLiteral("no port after the colon"));
    } else {
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        a.host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0) {
            portText = rest.mid(colon + 1);
            if (portText.isEmpty()) return failed(text, QStringLiteral("no port after the colon"));
        }
        if (a.host.contains(QLatin1Char(':')))
            return failed(text, QStringLiteral("an IPv6 address goes in brackets: [%1]").arg(a.host));
    }
    for (QChar c : a.host)
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('@') || c == QLatin1Char('['))
            return failed(text, QStringLiteral("'%1' is no host name or address").arg(a.host));
    if (a.host.isEmpty() && a.scheme != Scheme::Listen) return failed(text, QStringLiteral("no host"));
    if (portText.isEmpty()) {
        if (a.scheme != Scheme::ModbusTcp) return failed(text, QStringLiteral("no port (HOST:PORT)"));
        a.port = MODBUS_TCP_PORT;
        return a;
    }
    bool number = portText.size() <= 6;
    for (QChar c : portText)
        number = number && c.isDigit() && c.unicode() < 0x80;
    if (!number) return failed(text, QStringLiteral("'%1' is no port number").arg(portText));
    a.port = portText.toInt();
    if (a.port < 1 || a.port > kMaxPort)
        return failed(text, QStringLiteral("port %1 is outside 1-%2").arg(portText).arg(kMaxPort));
    return a;
}

QString addressText(const PortAddress& a) {
    QString host = a.host.isEmpty() && a.scheme == Scheme::Listen ? QStringLiteral("0.0.0.0") : a.host;
    if (host.contains(QLatin1Char(':'))) host = QLatin1Char('[') + host + QLatin1Char(']');
    return schemeName(a.scheme) + QStringLiteral("://") + host + QLatin1Char(':') + QString::number(a.port);
}

} // namespace kv::net
