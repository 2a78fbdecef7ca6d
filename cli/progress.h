#pragma once
// A progress bar on stderr, drawn only when stderr is a terminal.

#include <QString>

namespace kv::cli {

class Progress {
public:
    explicit Progress(int total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void step(const QString& what);
    // Takes the bar off the line so a normal line can be printed.
    void clear();

private:
    int total_;
    int done_ = 0;
    bool enabled_;
    bool drawn_ = false;
};

} // namespace kv::cli
