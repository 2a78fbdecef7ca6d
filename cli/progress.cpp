#include "cli/progress.h"

#include <algorithm>
#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

namespace kv::cli {

Progress::Progress(int total) : total_(std::max(total, 1)), enabled_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    clear();
}

void Progress::step(const QString& what) {
    ++done_;
    if (!enabled_) return;
    constexpr int width = 30;
    const int filled = std::min(width, done_ * width / total_);
    const QString bar = QStringLiteral("\r[%1%2] %3% %4\x1b[K")
                            .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
                            .arg(std::min(100, done_ * 100 / total_), 3)
                            .arg(what);
    std::fputs(bar.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::clear() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

} // namespace kv::cli
