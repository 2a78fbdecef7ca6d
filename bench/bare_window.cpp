// The yardsticks for the desktop benchmark: the least a Qt program of this kind does.
//   bare_window DEVICE             a window of the tool's size with a line of text that
//                                  opens a serial port at start-up
//   bare_window DEVICE --poll MS   the same window polling the port every MS ms with the
//                                  tool's default read request and showing each reply as
//                                  hex in its one label: the floor of a polling window
#include <QApplication>
#include <QLabel>
#include <QSerialPort>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const bool poll = argc == 4 && std::strcmp(argv[2], "--poll") == 0;
    const int period = poll ? std::atoi(argv[3]) : 0;
    if ((argc != 2 && !poll) || (poll && period <= 0)) {
        std::fprintf(stderr, "usage: bare_window DEVICE [--poll MS]\n");
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
    text.resize(400, text.sizeHint().height());
    window.show();

    // Address 1, function 3, two registers from 0, CRC: what the tool's cycle sends by default.
    const QByteArray request = QByteArray::fromHex("010300000002c40b");
    QTimer timer;
    QByteArray reply;
    if (poll) {
        QObject::connect(&timer, &QTimer::timeout, [&] {
            reply.clear();
            port.write(request);
        });
        QObject::connect(&port, &QSerialPort::readyRead, [&] {
            reply += port.readAll();
            if (reply.size() >= 9) text.setText(QString::fromLatin1(reply.toHex(' ').toUpper()));
        });
        timer.start(period);
    }
    return app.exec();
}
