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
// Driven by Qt's event loop: QTcpServer's new connections and the sockets' signals, and one
// timer for the moments a registration or a verdict is due. What happens is told to the
// handlers as it happens, or gathered by wait() for a caller that runs no event loop itself.

#include "net/heartbeat.h"
#include "net/tcpline.h"

#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kv::net {

// How long a new connection is given to register, by default.
inline constexpr Millis REGISTRATION{1000};
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
    // The line the discipline runs over: heartbeats already taken out. Its notification
    // (setNotify) is kept across the DTU's connections.
    [[nodiscard]] HeartbeatLine& line() { return line_; }
    [[nodiscard]] SocketLine& socket() { return socket_; }
    [[nodiscard]] bool connected() const { return socket_.connected(); }
    // Times it dialled in.
    [[nodiscard]] int connections() const { return connections_; }
    [[nodiscard]] int heartbeats() const { return line_.filter().removed(); }
    // A DTU dialled in under its name: it should be asked something now, to tell whether this
    // connection still lives.
    [[nodiscard]] bool probeWanted() const { return probeSince_ && socket_.wrote() < *probeSince_; }

private:
    friend class DialInHub;
    QString name_;
    QString registration_; // the name its registration gives, shared by clones
    QString peer_;
    SocketLine socket_;
    HeartbeatLine line_;
    int connections_ = 0;
    std::optional<TimePoint> probeSince_; // none: no newcomer waits on it
};

class DialInHub {
public:
    struct Options {
        QString host; // empty: every interface, IPv6 and IPv4
        int port = 0;
        std::vector<QByteArray> heartbeats;
        Millis registration = REGISTRATION;
        // A connection with a request unanswered this long is taken for dead when its DTU
        // dials in again.
        Millis answer{1000};
        // Sent no request to tell by within this long (a bus whose rounds are over), the
        // newcomer takes the bus, as a DTU that dialled in again.
        Millis probe{5000};
    };
    // What a driver on the event loop is told, as it happens (outside wait()).
    struct Handlers {
        std::function<void(DialInBus&)> joined;   // registered: a new bus, or a bus dialled in again
        std::function<void(DialInBus&)> probe;    // a DTU dialled in under its name: ask it something now
        std::function<void(const QString&)> note; // what the operator should know: clones, long registrations
    };

    DialInHub();
    ~DialInHub();
    DialInHub(const DialInHub&) = delete;
    DialInHub& operator=(const DialInHub&) = delete;

    void setHandlers(Handlers handlers) { handlers_ = std::move(handlers); }
    // The port it listens on (0 before listen).
    [[nodiscard]] int port() const { return server_.serverPort(); }

    // Listens; false with the reason.
    [[nodiscard]] bool listen(const Options& options, QString& why);

    // What a wait brought.
    struct Events {
        std::vector<DialInBus*> joined; // registered: new buses, and buses dialled in again
        std::vector<DialInBus*> probe;  // to be asked something now (DialInBus::probeWanted)
        std::vector<DialInBus*> heard;  // buses whose socket brought bytes, or its end
        std::vector<QString> notes;     // what the operator should know
        [[nodiscard]] bool empty() const {
            return joined.empty() && probe.empty() && heard.empty() && notes.empty();
        }
    };
    // Runs the event loop until something of the above happens or `until` passes (with `until`
    // past: once over what is waiting), and returns what happened instead of telling the handlers.
    Events wait(TimePoint until);

    // Every bus that registered, in the order they first did.
    [[nodiscard]] const std::vector<std::unique_ptr<DialInBus>>& buses() const { return buses_; }
    // Connections still in their registration moment, or waiting to know whether theirs is a
    // second DTU.
    [[nodiscard]] int registering() const { return static_cast<int>(newcomers_.size() + waiting_.size()); }

private:
    struct Newcomer {
        SocketPtr<QTcpSocket> socket;
        QByteArray said;
        TimePoint until{};
        QString peer;
        TimePoint connected{};
        bool tooLong = false;
        bool closed = false; // ended before it registered
        // Registered under a name whose connection is open: waiting on that bus's next answer.
        QString registration;
        DialInBus* suspect = nullptr;
        TimePoint waitingSince{};
    };
    enum class Verdict { Waiting, Same, Second };

    void accept();
    void hear(const QTcpSocket* socket);
    void ended(const QTcpSocket* socket);
    // Files newcomers whose moment is over, judges those that wait; then sets the timer for
    // the next that is due.
    void advance();
    // The timer at the next moment due, or at once.
    void rearm(TimePoint now);
    void soon() { timer_.start(0); }
    void file(Newcomer& n, TimePoint now);
    // Whether the suspect's connection is that of the DTU dialled in again, or of another.
    [[nodiscard]] Verdict judge(const Newcomer& n, TimePoint now) const;
    void decide(Newcomer& n, Verdict verdict);
    void attach(Newcomer& n, DialInBus& bus);
    // A bus's socket brought bytes or its end.
    void activity(DialInBus& bus);
    [[nodiscard]] DialInBus& busNamed(const QString& name, const QString& registration);
    [[nodiscard]] bool dead(const DialInBus& bus, TimePoint now) const;
    [[nodiscard]] TimePoint nextVerdict(const Newcomer& n) const;
    void tellJoined(DialInBus& bus);
    void tellProbe(DialInBus& bus);
    void tellNote(const QString& note);

    QTcpServer server_; // also the context of every connection the hub makes
    QTimer timer_;
    QTimer deadline_; // wait()'s end
    Options options_;
    Handlers handlers_;
    Events* gathering_ = nullptr; // inside wait()
    bool expired_ = false;        // wait()'s time is over
    std::vector<Newcomer> newcomers_;
    std::vector<Newcomer> waiting_;
    std::vector<std::unique_ptr<DialInBus>> buses_;
    std::map<QString, DialInBus*> byName_;
};

} // namespace kv::net
