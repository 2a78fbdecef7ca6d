#pragma once
// What a request asks of the line discipline, and what became of it.

#include "sensor/protocol.h"
#include "serial/linetime.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kv::line {

enum class Outcome {
    Answered,  // a sound reply that answers this request
    Exception, // the device's Modbus exception to it
    Garbled,   // the bytes of its reply were no sound one: a bad CRC, or cut short
    Timeout,   // sent, and no answer within the timeout
    Echo,      // the request itself came back: an adapter that hears its own transmission
    Lost,      // the line went away
    Stopped,   // the operator asked to stop
    Busy,      // never sent: the line never fell silent, or the device could not be resynchronised
};

// Why a request ended without its answer, as a kind the command line words (cli/failure.h).
enum class Failure {
    None,           // answered, the device's exception, or only listened
    NoReply,        // nothing within the timeout
    GatewayNoReply, // a gateway's exception: its device did not answer (the reply holds it)
    Crc,            // a reply of the answer's shape with a bad CRC
    Cut,            // the answer began and was cut short
    Echo,           // the request itself came back, without --echo
    NeverSilent,    // nothing sent: the line never fell silent within the timeout
    CannotResync,   // nothing sent: the device's late replies could pass for the answer
    Lost,           // the line went away
    Stopped,        // the operator stopped
};

// What one request adds to the counts of a run.
struct Tally {
    int requests = 0; // tries that put the request (or a wider read of it) on the line
    int retries = 0;
    int replies = 0;
    int exceptions = 0;
    int timeouts = 0;
    int crcErrors = 0;
    int badReplies = 0; // cut short, or the request echoed
    int lost = 0;       // tries the line went away under
    int syncs = 0;      // resynchronising reads that went out besides, answered or not
    int noise = 0;      // bursts of bytes that were no sound frame
    // Sound frames that answered nothing asked of their sender, by sender.
    std::vector<std::pair<std::uint8_t, int>> late;

    void addLate(std::uint8_t from);
    [[nodiscard]] int lateFrom(std::uint8_t address) const;
    [[nodiscard]] int lateTotal() const;
    Tally& operator+=(const Tally& other);
};

struct Request {
    QByteArray bytes;
    sensor::Expectation expect;
    Millis timeout{1000};
    std::optional<Millis> grace; // after a timeout; none: graceFor(timeout)
    int retries = 0;
    bool retryTimeouts = true; // false: only garbled replies are tried again
    // How long a device may take over one request, after its answer, before that answer is
    // trusted as the last it owed an earlier run; none: the timeout (a short probe gives the run's).
    std::optional<Millis> quiet;
    // Listen out timeout and grace and keep every distinct answer (the address read).
    bool collect = false;
};

// A sound frame heard and the judge's verdict on it.
struct Answer {
    QByteArray frame;
    sensor::Reply reply;
    TimePoint at; // its last byte read
    // Surely the answer to this try, not to an earlier address read still held.
    bool own = true;
};

struct Exchange {
    Outcome outcome = Outcome::Timeout;
    Failure failure = Failure::None;
    Millis timeout{0};        // the request's: what NoReply and NeverSilent waited
    std::uint8_t address = 0; // the device asked
    bool lateAfter = false;   // NoReply: the device's late reply came in the grace period
    QString lineError;        // Lost: why, in the link's own words
    QByteArray sent;          // the request the answer answers: the one asked, or a wider read of it
    QByteArray frame;         // the answer, or the bytes of a garbled one
    sensor::Reply reply;      // the judge's reading of the answer, registers as the request asked them
    TimePoint sentAt;         // the request's last byte written
    TimePoint replyAt;        // the answer's last byte read
    // replyAt - sentAt; none without an answer, or for an exception a held request could have drawn.
    std::optional<Nanos> latency;
    std::vector<Answer> answers; // collect: every distinct answer, in the order heard
    Tally tally;
    [[nodiscard]] bool ok() const { return outcome == Outcome::Answered; }
};

// How long the line listens for a late reply after a timeout before it sends again.
[[nodiscard]] Millis graceFor(Millis timeout);

} // namespace kv::line
