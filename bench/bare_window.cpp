// The yardstick for the desktop benchmark: the least a Qt program of this kind does,
// a window of the tool's size with a line of text that opens a serial port at start-up.
#include <QApplication>
#include <QLabel>
#include <QSerialPort>
#include <QWidget>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bare_window DEVICE\n");
        return 2;
    }
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite) || !port.setBaudRate(19200)) {
        std::fprintf(stderr, "bare_window: cannot open %s\n", argv[1]);
        return 1;
    }
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare window"));
    window.resize(1021, 522);
    QLabel text(QStringLiteral("bare window"), &window);
    text.move(8, 8);
    window.show();
    return app.exec();
}
