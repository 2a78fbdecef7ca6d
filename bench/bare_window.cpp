// The yardsticks for the desktop benchmark: the least a Qt program of this kind does.
//   bare_window DEVICE             a window of the tool's size with a line of text that
//                                  opens a serial port at start-up
//   bare_window DEVICE --poll MS   the same window polling the port every MS ms with the
//                                  tool's default read request and showing each reply as
//                                  hex in its one label: the floor of a polling window
// Either may also take
//   --face FILE                    its text in the face in FILE at 9 pt (the window's own
//                                  face, app/fonts/kvserifcjk-regular.otf), not the desktop's
//   --form                         about as many plain controls as the tool's window (eight
//                                  groups of labelled text boxes and buttons, two lists):
//                                  the floor of a window of that size
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void addForm(QWidget& window) {
    for (int g = 0; g < 8; ++g) {
        auto* box = new QGroupBox(QStringLiteral("参数设置%1").arg(g), &window);
        box->setGeometry(10 + (g % 4) * 250, 10 + (g / 4) * 170, 240, 160);
        for (int i = 0; i < 3; ++i) {
            (new QLabel(QStringLiteral("水分系数%1:").arg(i), box))->setGeometry(8, 20 + i * 26, 80, 20);
            (new QLabel(QStringLiteral("(0-100)"), box))->setGeometry(180, 20 + i * 26, 50, 20);
            auto* e = new QLineEdit(box);
            e->setText(QString::number(1000 + i * 7));
            e->setGeometry(90, 20 + i * 26, 80, 20);
        }
        (new QPushButton(QStringLiteral("读出"), box))->setGeometry(8, 100, 60, 24);
        (new QPushButton(QStringLiteral("设置"), box))->setGeometry(80, 100, 60, 24);
    }
    auto* ports = new QComboBox(&window);
    ports->addItems({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"), QStringLiteral("COM4")});
    ports->setGeometry(10, 360, 100, 22);
    auto* rates = new QComboBox(&window);
    rates->setEditable(true);
    rates->addItems({QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200")});
    rates->setGeometry(120, 360, 100, 22);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    int period = 0;
    const char* face = nullptr;
    bool form = false;
    bool ok = argc >= 2;
    for (int i = 2; ok && i < argc; ++i) {
        if (std::strcmp(argv[i], "--poll") == 0 && i + 1 < argc)
            ok = (period = std::atoi(argv[++i])) > 0;
        else if (std::strcmp(argv[i], "--face") == 0 && i + 1 < argc)
            face = argv[++i];
        else if (std::strcmp(argv[i], "--form") == 0)
            form = true;
        else
            ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "usage: bare_window DEVICE [--poll MS] [--face FILE] [--form]\n");
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
    if (face) {
        const QStringList families =
            QFontDatabase::applicationFontFamilies(QFontDatabase::addApplicationFont(QString::fromLocal8Bit(face)));
        if (families.isEmpty()) {
            std::fprintf(stderr, "bare_window: cannot read the face %s\n", face);
            return 1;
        }
        QFont f(families.constFirst());
        f.setStyleHint(QFont::Serif);
        f.setPointSizeF(9);
        window.setFont(f);
    }
    if (form) addForm(window);
    QLabel text(QStringLiteral("bare window"), &window);
    text.move(8, form ? 400 : 8);
    text.resize(400, text.sizeHint().height());
    window.show();

    // Address 1, function 3, two registers from 0, CRC: what the tool's cycle sends by default.
    const QByteArray request = QByteArray::fromHex("010300000002c40b");
    QTimer timer;
    QByteArray reply;
    if (period > 0) {
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
