#pragma once
// The server DTUs dial in to: it listens, gives each new connection a moment to send its
// registration packet (what it sends before anything is asked), and files the connection
// under the bus that registration names. A DTU that drops and dials in again finds its bus
// again, with the line discipline's state on it. A new connection under a name whose connection
// is still open is either that DTU dialling in again before the server saw its old connection
// die, or a second DTU with the same registration (cloned configurations are common): the old
// connection is asked at once, and the newcomer waits until it answers (a second DTU: a bus of
// its own, NAME@HOST:PORT, and a note naming both addresses) or leaves a request unanswered
// past the reply timeout (dead: the newcomer takes its bus). DTUs that register with nothing
// are named by HOST:PORT, so that several behind one address (a carrier's NAT) stay apart.
// Event-driven: one thread watches the listening socket, the connections still registering
// and every bus's connection with one wait.

#include "net/heartbeat.h"
#include "net/tcpline.h"

#include <map>
#include <memory>
#include <vector>

namespace kv::net {

// How long a new connection is given to register, by default.
inline constexpr int REGISTRATION_MS = 1000;
// The longest registration kept: the rest is left out of the name, and said.
inline constexpr int MAX_REGISTRATION = 256;

// A registration as a name: printable ASCII as it is, every other byte (and '%', '/' and '\')
// as %XX; empty registrations are named by the DTU's address and port instead.
[[nodiscard]] QString registrationName(const QByteArray& registration);

// One DTU's bus: its name and its line, kept across its connections.
class DialInBus {
public:
    DialInBus(QString name, const std::vector<QByteArray>& heartbeats)
        : name_(std::move(name)), line_(socket_, heartbeats) {}

    [[nodiscard]] const QString& name() const { return name_; }
    // Its present (or last) connection's other end, HOST:PORT.
    [[nodiscard]] const QString& peer() const { return peer_; }
    // The line the discipline runs over: heartbeats already taken out.
    [[nodiscard]] HeartbeatLine& line() { return line_; }
    [[nodiscard]] SocketLine& socket() { return socket_; }
    [[nodiscard]] bool connected() const { return socket_.connected(); }
    // Times it dialled in.
    [[nodiscard]] int connections() const { return connections_; }
    [[nodiscard]] int heartbeats() const { return line_.filter().removed(); }
    // A DTU dialled in under its name: it should be asked something now, to tell whether this
    // connection still lives.
    [[nodiscard]] bool probeWanted() const { return probeSinceNs_ > 0 && socket_.wroteNs() < probeSinceNs_; }

private:
    friend class DialInHub;
    QString name_;
    QString registration_; // the name its registration gives, shared by clones
    QString peer_;
    SocketLine socket_;
    HeartbeatLine line_;
    int connections_ = 0;
    qint64 probeSinceNs_ = 0; // 0: no newcomer waits on it
};

class DialInHub {
public:
    struct Options {
        QString host; // empty: every interface
        int port = 0;
        std::vector<QByteArray> heartbeats;
        int registrationMs = REGISTRATION_MS;
        // A connection with a request unanswered this long is taken for dead when its DTU
        // dials in again.
        int answerMs = 1000;
        // Sent no request to tell by within this long (a bus whose rounds are over), the
        // newcomer takes the bus, as a DTU that dialled in again.
        int probeMs = 5000;
    };
    // The port it listens on (0 before listen).
    [[nodiscard]] int port() const { return listener_.localPort(); }

    // Listens; false with the reason.
    [[nodiscard]] bool listen(const Options& options, QString& why);

    // What one wait brought.
    struct Events {
        std::vector<DialInBus*> joined; // registered: new buses, and buses dialled in again
        std::vector<DialInBus*> heard;  // buses whose socket brought bytes, or its end
        std::vector<QString> notes;     // what the operator should know: clones, long registrations
    };
    // Waits until a socket has something or untilNs passes (sooner when a registration moment
    // ends), reads what came, accepts new connections and files those whose moment is over.
    Events wait(qint64 untilNs);

    // Every bus that registered, in the order they first did.
    [[nodiscard]] const std::vector<std::unique_ptr<DialInBus>>& buses() const { return buses_; }
    // Connections still in their registration moment, or waiting to know whether theirs is a
    // second DTU.
    [[nodiscard]] int registering() const { return static_cast<int>(newcomers_.size() + waiting_.size()); }

private:
    struct Newcomer {
        Socket socket;
        QByteArray said;
        qint64 untilNs = 0;
        QString peer;
        qint64 connectedNs = 0;
        bool tooLong = false;
        // Registered under a name whose connection is open: waiting on that bus's next answer.
        QString registration;
        DialInBus* suspect = nullptr;
        qint64 waitingSinceNs = 0;
    };
    enum class Verdict { Waiting, Same, Second };

    void acceptAll(qint64 nowNs);
    void file(Newcomer& n, Events& events, qint64 nowNs);
    // Whether the suspect's connection is that of the DTU dialled in again, or of another.
    [[nodiscard]] Verdict judge(const Newcomer& n, qint64 nowNs) const;
    void decide(Newcomer& n, Verdict verdict, Events& events);
    void attach(Newcomer& n, DialInBus& bus, Events& events);
    [[nodiscard]] DialInBus& busNamed(const QString& name, const QString& registration);
    [[nodiscard]] bool dead(const DialInBus& bus, qint64 nowNs) const;
    [[nodiscard]] qint64 nextVerdictNs(const Newcomer& n) const;

    Options options_;
    Socket listener_;
    std::vector<Newcomer> newcomers_;
    std::vector<Newcomer> waiting_;
    std::vector<std::unique_ptr<DialInBus>> buses_;
    std::map<QString, DialInBus*> byName_;
};

} // namespace kv::net
