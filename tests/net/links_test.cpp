// The network links on Qt's event loop, over loopback in this process: a line tells its
// driver what came and that it ended, from the event loop and never from inside its own calls,
// and keeps telling across a connection made anew; every connection is set up the same way;
// the dial-in server tells joined buses, probes and notes to its handlers; a server given a
// host listens there alone; and a port in use is said in the system's words.

#include "net/dialin.h"
#include "net/redial.h"
#include "net/tcpline.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace kv;

namespace {

constexpr int kDeadlineMs = 5000;

// A peer for the links: accepts one connection after another, the last kept.
struct Peer {
    QTcpServer server;
    std::vector<std::unique_ptr<QTcpSocket>> accepted;
    Peer() {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server.nextPendingConnection())
                accepted.emplace_back(s);
        });
    }
    [[nodiscard]] QString address() const {
        return QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort());
    }
    [[nodiscard]] bool has(std::size_t n) {
        return QTest::qWaitFor([&] { return accepted.size() >= n; }, kDeadlineMs);
    }
};

int option(const QAbstractSocket& s, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    ::getsockopt(static_cast<int>(s.socketDescriptor()), level, name, &value, &len);
    return value;
}

} // namespace

TEST(TcpLines, TellTheirDriverFromTheEventLoopOnly) {
    struct Case {
        const char* what;
        bool anew;  // the server closed the first connection; a write makes another
        bool close; // the other end closes while the line waits
    };
    const Case cases[] = {{"bytes", false, false},
                          {"the other end closes", false, true},
                          {"a connection made anew", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Peer peer;
        auto tcp = std::make_unique<net::TcpLine>();
        net::TcpLine& stream = *tcp;
        net::RedialLine line(std::move(tcp));
        ASSERT_TRUE(line.open(peer.address(), 9600).ok());
        ASSERT_TRUE(peer.has(1));
        bool inside = false;
        int told = 0;
        ASSERT_TRUE(line.setNotify([&] {
            EXPECT_FALSE(inside) << "told from inside the line's own call";
            ++told;
        }));
        if (c.anew) {
            peer.accepted.back()->close();
            ASSERT_TRUE(QTest::qWaitFor([&] { return told > 0; }, kDeadlineMs)) << "the end was not told";
            inside = true;
            ASSERT_TRUE(line.write("\x01"));
            inside = false;
            ASSERT_TRUE(peer.has(2));
            told = 0;
        }
        QTcpSocket& far = *peer.accepted.back();
        // What comes while the line itself waits is its caller's, not told.
        if (c.close) {
            far.close();
        } else {
            far.write("\x01\x03");
            far.flush(); // sent now: the peer has no event loop while the line waits
        }
        inside = true;
        line.waitReadable(line.now() + Millis(kDeadlineMs));
        const QByteArray got = line.take();
        inside = false;
        EXPECT_EQ(got, c.close ? QByteArray() : QByteArray("\x01\x03"));
        EXPECT_EQ(stream.lost(), c.close);
        if (c.close) {
            EXPECT_EQ(stream.errorString(), QStringLiteral("the connection was closed by the other end"));
            continue;
        }
        // On the event loop: told, once, and take() has what came.
        far.write("\x05");
        ASSERT_TRUE(QTest::qWaitFor([&] { return told > 0; }, kDeadlineMs));
        inside = true;
        EXPECT_EQ(line.take(), QByteArray("\x05"));
        inside = false;
    }
}

TEST(TcpLines, EveryConnectionIsSetUpAlike) {
    Peer peer;
    net::Connected out = net::connectTo(QStringLiteral("127.0.0.1"), peer.server.serverPort(), 1000);
    ASSERT_TRUE(out.socket) << out.why.toStdString();

    net::DialInHub hub;
    net::DialInHub::Options o;
    o.host = QStringLiteral("127.0.0.1");
    o.registration = Millis(20);
    QString why;
    ASSERT_TRUE(hub.listen(o, why)) << why.toStdString();
    hub.setHandlers({});
    QTcpSocket dtu;
    dtu.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(hub.port()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !hub.buses().empty(); }, kDeadlineMs));

    const std::pair<const char*, const QAbstractSocket*> sockets[] = {
        {"connected", out.socket.get()}, {"accepted", hub.buses().front()->socket().socket()}};
    for (const auto& [what, s] : sockets) {
        SCOPED_TRACE(what);
        EXPECT_EQ(option(*s, IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(option(*s, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(option(*s, IPPROTO_TCP, TCP_KEEPIDLE), 20);
        EXPECT_EQ(option(*s, IPPROTO_TCP, TCP_KEEPINTVL), 5);
        EXPECT_EQ(option(*s, IPPROTO_TCP, TCP_KEEPCNT), 3);
    }
}

// Without wait(): what the hub has to say reaches the handlers as it happens.
TEST(DialInHub, TellsItsHandlersOnTheEventLoop) {
    struct Case {
        const char* what;
        QByteArray second;    // the second DTU's registration, after the first's "KV-1"
        bool firstAnswers;    // when asked, for the hub to tell a second DTU from the first again
        const char* joined;   // the second's bus, as a regular expression
        const char* note;     // the note said, as a regular expression; empty: none
        int firstConnections; // of the first bus, at the end
    };
    const Case cases[] = {
        {"another registration", "KV-2", false, "KV-2", "", 1},
        {"a registration too long", QByteArray(300, 'R'), false, "R{256}",
         R"(127\.0\.0\.1:\d+ registered with more than 256 bytes: the first 256 name it)", 1},
        {"a clone", "KV-1", true, R"(KV-1@127\.0\.0\.1:\d+)",
         R"(two DTUs register as KV-1, from 127\.0\.0\.1:\d+ and from 127\.0\.0\.1:\d+: the second is read as KV-1@)",
         1},
        {"the first dialling in again", "KV-1", false, "KV-1", "", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        net::DialInHub hub;
        net::DialInHub::Options o;
        o.host = QStringLiteral("127.0.0.1");
        o.registration = Millis(50);
        o.answer = Millis(100);
        QString why;
        ASSERT_TRUE(hub.listen(o, why)) << why.toStdString();
        std::vector<QString> joined;
        std::vector<QString> notes;
        hub.setHandlers({[&](net::DialInBus& b) { joined.push_back(b.name()); },
                         // Asked at once; the first DTU answers or not.
                         [&](net::DialInBus& b) { EXPECT_TRUE(b.line().write("?")); },
                         [&](const QString& note) { notes.push_back(note); }});
        QTcpSocket first;
        QTcpSocket second;
        first.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(hub.port()));
        first.write("KV-1");
        ASSERT_TRUE(QTest::qWaitFor([&] { return joined.size() == 1; }, kDeadlineMs));
        if (c.firstAnswers)
            QObject::connect(&first, &QTcpSocket::readyRead, [&] { first.write(first.readAll()); });
        second.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(hub.port()));
        second.write(c.second);
        ASSERT_TRUE(QTest::qWaitFor([&] { return joined.size() == 2; }, kDeadlineMs));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1$").arg(QLatin1String(c.joined)))
                        .match(joined[1])
                        .hasMatch())
            << joined[1].toStdString();
        ASSERT_EQ(notes.size(), *c.note ? 1U : 0U);
        if (*c.note) {
            EXPECT_TRUE(QRegularExpression(QLatin1String(c.note)).match(notes[0]).hasMatch())
                << notes[0].toStdString();
        }
        EXPECT_EQ(hub.buses().front()->connections(), c.firstConnections);
        EXPECT_EQ(hub.registering(), 0);
    }
}

TEST(DialInHub, ListensWhereItIsTold) {
    struct Case {
        const char* host; // empty: every interface
        bool ipv4;
        bool ipv6;
    };
    const Case cases[] = {{"", true, true}, {"127.0.0.1", true, false}, {"::1", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        net::DialInHub hub;
        net::DialInHub::Options o;
        o.host = QLatin1String(c.host);
        QString why;
        ASSERT_TRUE(hub.listen(o, why)) << why.toStdString();
        for (const auto& [to, takes] :
             {std::pair{QHostAddress::LocalHost, c.ipv4}, std::pair{QHostAddress::LocalHostIPv6, c.ipv6}}) {
            QTcpSocket dtu;
            dtu.connectToHost(QHostAddress(to), static_cast<quint16>(hub.port()));
            ASSERT_TRUE(QTest::qWaitFor(
                [&] {
                    return hub.registering() > 0 || dtu.error() == QAbstractSocket::ConnectionRefusedError;
                },
                kDeadlineMs));
            EXPECT_EQ(hub.registering() > 0, takes) << QHostAddress(to).toString().toStdString();
            dtu.abort();
            ASSERT_TRUE(QTest::qWaitFor([&] { return hub.registering() == 0; }, kDeadlineMs));
        }
        // A second server on the same port is refused in the system's words.
        net::DialInHub again;
        o.port = hub.port();
        EXPECT_FALSE(again.listen(o, why));
        EXPECT_EQ(why, QString::fromLocal8Bit(std::strerror(EADDRINUSE)));
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
