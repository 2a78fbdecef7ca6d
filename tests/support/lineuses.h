#pragma once
// What must hold for every request the command line makes, whatever the sensors and the
// line do, and those requests as the command line makes them: the oracle and the uses the
// line tests and the line fuzz target share.

#include "cli/session.h"
#include "linemodels.h"

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kv::fake {

// A value (or an exception with a latency) is shown only from a reply the sensors sent to
// that very request, with that reply's own latency; every try is counted in exactly one
// outcome; the line was quiet before each request; each request ended within its bound.
// One answer is no sensor's and rightly taken: through an adapter that echoes, without
// --echo, a write's copy when the sensor's own acknowledgement never follows.
class Oracle {
public:
    using Replies = std::function<const std::vector<Reply>&(int index)>;
    Oracle(const FakeLine& line, Replies repliesTo) : line_(line), repliesTo_(std::move(repliesTo)) {}

    // Whether shown values are judged: not when bytes that no sensor sent formed a sound
    // frame, which no master can tell from a sensor's. Read when the violations are.
    bool judgeValues = true;

    // Each try waits at most a timeout for the line to fall quiet, a timeout for the answer, the
    // run's timeout more while a device that may owe an earlier run stays quiet, and a grace
    // period, once for a resynchronising read and once for the request:
    // (retries + 1) x 2 x (3 x timeout + grace) where the run's timeout is the request's, as
    // kv7702r --help says.
    [[nodiscard]] static qint64 boundNs(int timeoutMs, int retries, int runTimeoutMs);
    // Whether `wide` reads the registers `asked` reads and more, from the same device.
    [[nodiscard]] static bool widens(const QByteArray& wide, const QByteArray& asked);
    void took(qint64 ns, int timeoutMs, int retries, int runTimeoutMs);
    void request(const cli::Result& r, const QByteArray& bytes);
    // Every answer to the address read is some device's answer to an address read.
    void addressRead(const cli::Result& r);
    // The run's counts add up to what went out, and the line was quiet before each request.
    void end(const cli::Stats& s);

    // A frame went out, a resynchronising read or a request.
    void wentOut(bool sync) { requestsOut_ += sync ? 0 : 1; }
    void fail(const std::string& what) { violations_.push_back(what); }
    // A value or a latency shown that the sensors' replies do not bear out.
    void wrongValue(const std::string& what) { wrongValues_.push_back(what); }
    [[nodiscard]] std::vector<std::string> violations() const;

private:
    [[nodiscard]] int writeAt(qint64 ns, const QByteArray& bytes) const;
    [[nodiscard]] bool sent(int index, const QByteArray& frame, qint64 endNs) const;

    const FakeLine& line_;
    Replies repliesTo_;
    std::vector<std::string> violations_;
    std::vector<std::string> wrongValues_;
    int requestsOut_ = 0;
};

// Whether some sound frame on the line was not a sensor's reply whole (noise that happened to
// close one): `sound` tells whether a sensor sent that frame ending then. No master can tell
// such a frame from a sensor's, so values are not judged where there is one.
[[nodiscard]] bool forged(const FakeLine& line, const std::function<bool(const QByteArray&, qint64)>& sound);

// The uses the command line makes of the line, each as it makes them: measurements of three
// sensors round by round, the seven parameters, what a register held, a write and the
// read-back that tells whether it took, the address read after short reads whose late
// replies may come during it, and scan's short probes with the late answerers asked again.
enum class Use { ReadRows, Params, WriteReadBack, AddressRead, ScanProbes };
inline constexpr int USE_COUNT = 5;

// `holds(reg)` is what sensor 1's register holds now, for the read-back's check.
void run(Use use, cli::Session& session, Oracle& oracle, std::mt19937& rng,
         const std::function<std::uint16_t(int reg)>& holds);

} // namespace kv::fake
