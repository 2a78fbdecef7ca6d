#include "app/appearance.h"

#include "look/palette.h"

#include <QFontDatabase>
#include <QImageReader>
#include <QPainter>
#include <QRadialGradient>
#include <QResource>

#include <atomic>
#include <cstdlib>

#ifdef KV_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

namespace kv {

QPalette designedPalette() {
    QPalette pal = lightPalette();
    pal.setColor(QPalette::Window, kBackground);
    return pal;
}

QIcon appIcon() {
    // The installed SVG rendered beforehand (icons/make-icons): reading the SVG here would
    // load the SVG libraries and plugins at every start. Read as the PNGs they are, without
    // loading every image plugin to ask whether it reads them better. Window managers ask
    // for these sizes; 64 is twice the largest they show a window's own icon at.
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64}) {
        QImageReader png(QStringLiteral(":/icons/kv7702r-tool-%1.png").arg(size), "png");
        png.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(png.read()));
    }
    return icon;
}

QFont makeFont(const QString& family, qreal points, int weight) {
    QFont f(family);
    // Both designed faces are serif faces: characters they lack fall back to a serif one.
    f.setStyleHint(QFont::Serif);
    f.setPointSizeF(points);
    f.setWeight(static_cast<QFont::Weight>(weight));
    return f;
}

QPixmap lampPixmap(const QColor& colour, bool highlight) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(QPointF(6, 6), 9);
    g.setColorAt(0, colour.lighter(160));
    g.setColorAt(1, colour.darker(130));
    p.setBrush(g);
    p.setPen(QPen(colour.darker(200), 1));
    p.drawEllipse(QRectF(1, 1, 14, 14));
    if (highlight) {
        p.setBrush(Qt::white);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(4, 4, 3.5, 3.5));
    }
    return pm;
}

namespace {

// A face compiled in: read where it is stored, uncompressed as the faces are, rather than
// copied to memory of its own (Qt's reading of the file copies it whole).
bool addFace(const QString& path) {
    const QResource stored(path);
    if (stored.isValid() && stored.compressionAlgorithm() == QResource::NoCompression && stored.data())
        return QFontDatabase::addApplicationFontFromData(QByteArray::fromRawData(
                   reinterpret_cast<const char*>(stored.data()), static_cast<qsizetype>(stored.size()))) >= 0;
    return QFontDatabase::addApplicationFont(path) >= 0;
}

bool facesRegistered() {
    // Noto Serif CJK SC cut down to the characters the tool writes (app/fonts/make-subset):
    // mapping the whole face's files would cost 8 MB of memory for under 300 glyphs.
    // Any other character falls back to the installed faces. Registered once, by whichever
    // thread asks first.
    static const bool loaded = addFace(QStringLiteral(":/fonts/kvserifcjk-regular.otf")) &&
                               addFace(QStringLiteral(":/fonts/kvserifcjk-bold.otf"));
    return loaded;
}

// The one preload of the process while its thread may run, for the exit handler.
std::atomic<FontPreload*> running{nullptr};

} // namespace

void installFontSubstitutions() {
    const bool subsetLoaded = facesRegistered();
    QStringList cjk = {QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Sans CJK SC"),
                       QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("AR PL UMing CN")};
    if (subsetLoaded) cjk.prepend(QStringLiteral("KV Serif CJK"));
#ifdef Q_OS_WIN
    QFont::insertSubstitutions(kSongTi, cjk);
#else
    // Here the subset is itself named 宋体 and found by that name at once; a substituted
    // family would first have fontconfig sort every installed face into fallbacks, for
    // each script the window writes. Characters it lacks fall back as for any face.
    if (!subsetLoaded) QFont::insertSubstitutions(kSongTi, cjk);
#endif
    QFont::insertSubstitutions(QStringLiteral("SimSun"), cjk);
    QFont::insertSubstitutions(kTitling, QStringList{cjk.first(), QStringLiteral("Noto Serif CJK SC"),
                                                     QStringLiteral("DejaVu Serif")});
}

FontPreload::FontPreload() {
    FontPreload* none = nullptr;
    if (!running.compare_exchange_strong(none, this)) return; // one per process
    static const bool handlerSet = std::atexit(&FontPreload::onExit) == 0;
    (void)handlerSet;
    thread_ = std::thread([this] { run(); });
}

FontPreload::~FontPreload() {
    wait();
    FontPreload* self = this;
    running.compare_exchange_strong(self, nullptr);
}

void FontPreload::run() {
#ifdef KV_HAVE_FONTCONFIG
    // Qt's font database finds the configuration already current and reads it no more.
    FcInit();
#endif
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return go_ || abandon_; });
    if (abandon_) return;
    lock.unlock();
    (void)QFontDatabase::families();
    (void)facesRegistered();
    prepared_ = true;
}

void FontPreload::prepare() {
    const std::lock_guard<std::mutex> lock(mutex_);
    go_ = true;
    cv_.notify_one();
}

void FontPreload::wait() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!go_) abandon_ = true;
        cv_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

void FontPreload::onExit() {
    // exit() skips main's locals: the thread must not read on while the process ends, and
    // what fontconfig holds goes, as QApplication's end would have let it go.
    FontPreload* preload = running.exchange(nullptr);
    if (!preload) return;
    preload->wait();
#ifdef KV_HAVE_FONTCONFIG
    FcFini();
#endif
}

} // namespace kv
