#include "app/appearance.h"
#include "app/language.h"
#include "app/mainwindow.h"
#include "app/messageboxes.h"
#include "app/monitorkey.h"
#include "app/monitormodule.h"
#include "app/quitsignals.h"
#include "kv_version.h"
#include "monitor/monitor.h"
#include "serial/qtserialcomm.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char* argv[]) {
    kv::FontPreload fonts;
    QApplication app(argc, argv);
    // On every way out, the font thread ends before QApplication tears its fonts down.
    const struct FontsReadFirst {
        kv::FontPreload& fonts;
        ~FontsReadFirst() { fonts.wait(); }
    } fontsReadFirst{fonts};
    const kv::QuitOnSignals quitOnSignals;
    QApplication::setApplicationName(QStringLiteral("kv7702r-tool"));
    QApplication::setApplicationVersion(QStringLiteral(KV_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.example.vqrn.kv7702rtool"));

    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Configuration and test tool for the KV7702R soil-moisture sensor."));
    options.addHelpOption();
    options.addVersionOption();
    const QCommandLineOption monitorOption(
        QStringLiteral("monitor"), QStringLiteral("Open the traffic monitor at start (F2 opens it later)."));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Append every exchange to FILE as CSV, line by line."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption langOption(
        QStringLiteral("lang"),
        QStringLiteral("Language of the window and the monitor: %1 (default: %2).")
            .arg(kv::languages().join(QStringLiteral(" or ")), kv::languages().constFirst()),
        QStringLiteral("LANG"), kv::languages().constFirst());
    options.addOption(monitorOption);
    options.addOption(logOption);
    options.addOption(langOption);
    options.process(app);
    if (!options.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "kv7702r-tool: unexpected argument '%s' (see --help)\n",
                     qPrintable(options.positionalArguments().constFirst()));
        return 2;
    }
    // Nothing is stored: the language holds for this run only.
    const QString languageError = kv::useLanguage(options.value(langOption));
    if (!languageError.isEmpty()) {
        std::fprintf(stderr, "kv7702r-tool: --lang: %s\n", qPrintable(languageError));
        return 2;
    }

    // While the faces load on their thread: the icon every window of the tool shows, and the port.
    fonts.prepare();
    QApplication::setWindowIcon(kv::appIcon());
    const QString programDir = QCoreApplication::applicationDirPath();
    kv::QtSerialComm port(programDir);
    fonts.wait();
    kv::installFontSubstitutions();

    kv::QtMessageBoxes messages;
    kv::MainWindow window(port, messages, programDir);
    messages.setParent(&window);

    kv::mon::Monitor monitor(port, kv::monitorModule(programDir));
    monitor.setMainWindow(&window);
    if (options.isSet(logOption)) {
        const QString path = options.value(logOption);
        const QString error = monitor.startLog(path);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "kv7702r-tool: cannot open the log file '%s': %s\n", qPrintable(path),
                         qPrintable(error));
            return 2;
        }
    }
    kv::bindMonitorKey(&window, monitor, messages);

    // Start-up runs before the operator can act; its message may come before the window.
    window.load();
    window.show();
    if (options.isSet(monitorOption)) kv::openMonitor(monitor, messages);
    const int status = quitOnSignals.requested() ? 0 : app.exec();
    monitor.finish();
    return status;
}
