// Saves the whole X display (DISPLAY) as a picture: the Wine test's evidence of what the
// Windows window showed.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: x11_screenshot FILE.png\n");
        return 2;
    }
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "x11_screenshot: cannot grab the display or write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
