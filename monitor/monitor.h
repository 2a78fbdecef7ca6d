#pragma once
// Ties the monitor to the tool: an observer on the serial-port component for the bytes,
// set only while the monitor window is open or a log is being written, and taken away
// again after. The trend comes from the judged exchanges, never from the window.

#include "monitor/monitorwindow.h"
#include "monitor/tracker.h"

#include <QPointer>

namespace kv {
class SerialComm;
} // namespace kv

namespace kv::mon {

class Monitor : public QObject {
public:
    explicit Monitor(SerialComm& port);
    ~Monitor() override;

    // Appends every exchange to path from now on; an empty string when the file is
    // open, else the reason.
    [[nodiscard]] QString startLog(const QString& path);
    // The window the monitor first opens beside (see monitorPlacement).
    void setMainWindow(QWidget* mainWindow) { mainWindow_ = mainWindow; }
    // Opens the monitor window, or raises it when it is open.
    void show();
    MonitorWindow* window() const { return window_; }
    // True while the observers are set.
    bool watching() const { return watching_; }
    // Ends the exchange in progress and writes it (before the tool ends).
    void finish() { tracker_.finish(); }

private:
    void deliver(const std::vector<Exchange>& exchanges);
    void watch(bool on);
    void place();

    SerialComm& port_;
    QPointer<QWidget> mainWindow_;
    Tracker tracker_;
    CsvLog log_;
    bool logFailed_ = false;
    bool watching_ = false;
    QPointer<MonitorWindow> window_;
};

} // namespace kv::mon
