#pragma once
// The virtual sensor's command-line options.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvsim {

using Bytes = std::vector<uint8_t>;

// Where the sensors answer: a pty behind a symlink, a TCP port carrying raw RTU frames (a
// serial device server), a TCP port speaking Modbus TCP (a gateway), or a connection the sim
// dials itself (a DTU).
enum class Mode { Pty, Tcp, ModbusTcp, Dial };

enum class Parity { None, Even, Odd };

struct Endpoint {
    std::string host; // as given; empty: the loopback address
    int port = 0;
};

struct Options {
    Mode mode = Mode::Pty;
    std::string link;              // Mode::Pty
    Endpoint endpoint;             // the other modes: where to listen, or whom to dial
    std::vector<int> addresses{1}; // one sensor per address, all on the same line
    bool answerAddressRead = true;
    long baud = 0; // pty: answer only at this rate (0: any); TCP modes: the bus's rate (0: 9600)
    std::optional<Parity> parity; // pty: answer only at this parity; TCP modes: the bus's (none)
    std::optional<int> stopBits;  // likewise, 1 or 2
    double turnaroundMs = 5.0;
    double turnaroundMaxMs = 5.0; // above turnaroundMs: each reply's pause drawn between the two
    int lateEvery = 0;            // every Nth reply comes lateByMs later; 0: never
    double lateByMs = 0.0;
    bool echo = false;      // an adapter that hears its own transmission
    bool strictGap = false; // drop requests that start sooner than 3.5 characters after a reply
    double delayMs = 0.0;
    std::optional<double> moisture;
    std::optional<double> temperature;
    std::optional<uint32_t> seed;
    double badCrc = 0.0;
    double silence = 0.0;
    double exception = 0.0;
    int split = 1;
    double splitGapMs = 30.0;
    int garbage = 0;
    bool forgetWrites = false;
    bool verbose = false;
    bool addressEcho = false;

    // Connections (TCP modes and the DTU).
    int dropAfter = 0;             // close a connection after its Nth reply; 0: never
    double downForMs = 0.0;        // after such a drop, stop listening this long
    double gatewayTimeoutMs = 500; // Modbus TCP: a silent sensor's 0x0B comes this long after the request
    Bytes registration;            // a DTU's first bytes on each connection
    Bytes heartbeat;               // a DTU's keep-alive
    double heartbeatEverySec = 30; // sent this often while connected (with --heartbeat)
    int heartbeatBeforeReply = 0;  // also right before every Nth reply; 0: never
    double redialAfterMs = 1000;   // pause before a DTU dials again

    // Field behaviour of device servers, gateways and DTUs.
    double idleCloseMs = 0;     // close a connection quiet this long; 0: never
    int stallAfter = 0;         // a session is kept open but never answered after its Nth reply; 0: never
    double registerAfterMs = 0; // a DTU sends its registration this long after connecting
};

struct ParseResult {
    enum Outcome { Run, Help, Error } outcome = Run;
    std::string text; // the usage for Help, the reason and the usage for Error
};

ParseResult parseOptions(int argc, char** argv, Options& options);

// "PORT", "HOST:PORT" or "[IPv6]:PORT" (a HOST and a port from 1 when dialing, else 0 picks a
// free port); empty on success, else the reason.
std::string parseEndpoint(const std::string& text, bool dialing, Endpoint& out);
// Bytes of a registration or heartbeat text: \xNN (two hex digits) is that byte, \\ a
// backslash, \r and \n themselves; the reason when another escape or nothing is left.
std::string unescapeBytes(const std::string& text, Bytes& out);

} // namespace kvsim
