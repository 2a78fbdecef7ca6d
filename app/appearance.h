#pragma once
// How the designed window looks: its colours, faces and icon, apart from where its
// controls stand.

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>

#include <condition_variable>
#include <mutex>
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

// Makes Qt's font database ready on a thread of its own while the main thread goes on with
// its start: fontconfig's configuration and caches are read from before QApplication
// connects to the display; once QApplication stands (prepare()), the installed faces are
// listed and the window's own registered. wait() before the first face is asked for. An
// exit() on the way (--help, --version, a bad option) ends the thread and lets fontconfig
// go as QApplication's end would have.
class FontPreload {
public:
    FontPreload();
    ~FontPreload();
    FontPreload(const FontPreload&) = delete;
    FontPreload& operator=(const FontPreload&) = delete;
    // QApplication exists: Qt's font database may be filled now.
    void prepare();
    void wait();
    // Whether the thread went on to fill the font database (a test reads it).
    [[nodiscard]] bool prepared() const { return prepared_; }

private:
    void run();
    static void onExit();

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool go_ = false;
    bool abandon_ = false;
    bool prepared_ = false;
};

} // namespace kv
