#pragma once
// What --port names, parsed once; which port a run opens and at what rate: the options, else
// the window's comm.set, with COMn names mapped as the window maps them; and why a port would
// not open, in the command line's words.

#include "net/address.h"
#include "serial/byteline.h"
#include "serial/settingsfile.h"

#include <QString>

#include <optional>
#include <string>

namespace kv::cli {

// The rate when neither --rate nor comm.set gives one.
inline constexpr int DEFAULT_RATE = 9600;

// --port as given, parsed once: a serial port (COMn, a device path, or none given: the one in
// comm.set), a device server, a gateway or a port DTUs dial in to. The checks of the options,
// the link made and the name the rows carry all come from it.
struct PortOption {
    std::string text;       // as given; empty: the port in comm.set
    net::PortAddress where; // its kind (scheme), and for a network link its host and port

    [[nodiscard]] net::Scheme kind() const { return where.scheme; }
    [[nodiscard]] bool network() const { return where.network(); }
};
[[nodiscard]] PortOption portOption(const std::string& text);

struct PortChoice {
    QString device;
    int rate = 0;
};

// The device and rate from --port and --rate (0 when not given), else from the comm.set the
// window would read; empty, after saying why, when neither names a usable one. A network link
// is named by its address and its bus's rate is set at the other end: comm.set has no say in it.
[[nodiscard]] std::optional<PortChoice> choosePort(const PortOption& port, int rate,
                                                   const QString& programDir);

// "COM3" (any case) as the window maps it from the program's folder; anything else is a path.
[[nodiscard]] QString resolvePort(const QString& given, const QString& programDir);

// The comm.set the window would read: beside the program, or in the user's configuration
// folder when the program's folder takes no files (an installed copy).
[[nodiscard]] CommSetValues storedCommSet(const QString& programDir);

// One line for a device that would not open, with the fix where there is one.
[[nodiscard]] QString openFailureText(const QString& device, const OpenResult& r);

} // namespace kv::cli
