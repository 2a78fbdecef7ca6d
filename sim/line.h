#pragma once
// The pty the sensor answers on, published under a symlink, and the rate the tool set.

#include "sim/options.h"

#include <string>

namespace kvsim {

// The character format the master set on the terminal.
struct LineSettings {
    long baud = 0; // a non-standard rate too; 0 for B0 or one the sim cannot read
    Parity parity = Parity::None;
    int stopBits = 1;
};

class Link {
public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() { remove(); }
    // Empty on success, else the reason. An existing symlink is replaced; any other file is not.
    std::string create(const std::string& path, const std::string& target);
    // Removes the link unless someone re-pointed it meanwhile.
    void remove();

private:
    std::string path_;
    std::string target_;
};

class PtyLine {
public:
    PtyLine() = default;
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;
    ~PtyLine();
    // Opens a raw pty pair; empty on success, else the reason. The sim keeps the slave open
    // itself, so the tool may close and reopen the port freely.
    std::string open();
    int master() const { return master_; }
    const std::string& slaveName() const { return slaveName_; }
    // What the tool set on the terminal. A Linux pty drops PARENB (and forces CS8) but keeps
    // PARODD, CSTOPB and the input flags, so parity counts as on when PARENB or INPCK (input
    // parity checking, which a master using parity sets) is set, odd when PARODD is too.
    LineSettings settings() const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

// Writes all bytes; false when the reader has stopped draining the terminal for a second.
bool writeAll(int fd, const unsigned char* data, size_t size);

} // namespace kvsim
