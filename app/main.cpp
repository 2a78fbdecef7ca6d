#include "app/mainwindow.h"
#include "app/messageboxes.h"
#include "serial/qtserialcomm.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kv7702r-tool"));
    kv::installFontSubstitutions();

    const QString programDir = QCoreApplication::applicationDirPath();
    kv::QtSerialComm port(programDir);
    kv::QtMessageBoxes messages;
    kv::MainWindow window(port, messages, programDir);
    messages.setParent(&window);
    // Start-up runs before the operator can act; its message may come before the window.
    window.load();
    window.show();
    return app.exec();
}
