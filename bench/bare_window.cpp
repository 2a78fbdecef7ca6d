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

namespace {

quint16 crc16(const QByteArray& data) {
    quint16 crc = 0xFFFF;
    for (const char c : data) {
        crc ^= static_cast<quint8>(c);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

} // namespace

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

    // Address 2, function 3, two registers from 0: what the tool's cycle sends by default.
    QByteArray request("\x02\x03\x00\x00\x00\x02", 6);
    const quint16 crc = crc16(request);
    request.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
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
