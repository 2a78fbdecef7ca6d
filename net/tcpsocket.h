#pragma once
// What every connection of the links is set to on Qt's sockets, and how their faults are told.
// Requests are small and go one at a time: no Nagle delay holds them back. A peer that vanished
// without a word (a device server switched off, a modem out of coverage) is found out by the
// system between requests: idle 20 s, then a probe every 5 s, 3 unanswered.

#include <QAbstractSocket>
#include <QHostInfo>
#include <QString>

#include <memory>

namespace kv::net {

inline constexpr int KEEP_IDLE_S = 20;
inline constexpr int KEEP_INTERVAL_S = 5;
inline constexpr int KEEP_PROBES = 3;

// No delay, and keepalive at the timings above; on a connected socket.
void tune(QAbstractSocket& socket);

// Whether the system holds bytes, or the connection's end, that Qt has not read yet: one poll
// without waiting, cheaper than Qt's own wait of no time.
[[nodiscard]] bool systemHolds(const QAbstractSocket& socket);

// Sends what the system takes at once, past Qt's write buffer (which must be empty): Qt's
// buffered write would turn its write notifier on and off for every request, each time waking
// the event loop for nothing, and keep a 32 KiB block per connection. The bytes sent, or -1 with
// the system's words for why the connection broke.
[[nodiscard]] qint64 sendNow(const QAbstractSocket& socket, const QByteArray& bytes, QString& why);

// Why a socket failed, in the links' words: the other end's close as such; an address in use,
// not available or refused to this user in the system's own words (Qt has its own for them);
// anything else as Qt says it.
[[nodiscard]] QString faultWords(QAbstractSocket::SocketError error, const QString& qtWords);
[[nodiscard]] QString faultWords(const QAbstractSocket& socket);

// Why a name gave no address: a name unknown in the system's own words (Qt has its own);
// anything else as the lookup says it.
[[nodiscard]] QString lookupWords(const QHostInfo& info);

// "192.0.2.7:40112" or "[2001:db8::7]:40112": the other end of a connection, an IPv4 peer of a
// socket that listens on both families told as IPv4; empty when unknown.
[[nodiscard]] QString peerName(const QAbstractSocket& socket);

// Owns a socket: it is told nothing more (no signal reaches anyone) and is gone at once.
struct SocketEnd {
    void operator()(QAbstractSocket* socket) const;
};
template <typename S> using SocketPtr = std::unique_ptr<S, SocketEnd>;

} // namespace kv::net
