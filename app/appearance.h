#pragma once
// How the designed window looks: its colours, faces and icon, apart from where its
// controls stand.

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>

#include <thread>

namespace kv {

inline const QColor kBackground(224, 224, 224);
inline const QColor kRed(255, 0, 0);
inline const QString kSongTi = QStringLiteral("宋体");
inline const QString kTitling = QStringLiteral("Perpetua Titling MT");

// The palette the designed colours are drawn against, whatever the desktop's theme: the
// light palette with the designed grey behind everything.
[[nodiscard]] QPalette designedPalette();

// The installed icon (desktop/*.svg) at the sizes a window manager asks for, built in.
[[nodiscard]] QIcon appIcon();

[[nodiscard]] QFont makeFont(const QString& family, qreal points, int weight);

// A round status lamp of 16 x 16 pixels; the red one carries a highlight.
[[nodiscard]] QPixmap lampPixmap(const QColor& colour, bool highlight);

// Registers font substitutions so that the designed faces render with installed ones.
void installFontSubstitutions();

// Reads fontconfig's configuration and font caches on a thread of its own, begun before
// QApplication connects to the display, so that the two overlap instead of following one
// another; wait() before the first face is asked for. Does nothing without fontconfig.
class FontconfigPreload {
public:
    FontconfigPreload();
    ~FontconfigPreload() { wait(); }
    FontconfigPreload(const FontconfigPreload&) = delete;
    FontconfigPreload& operator=(const FontconfigPreload&) = delete;
    void wait() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

} // namespace kv
