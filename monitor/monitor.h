#pragma once
// Ties the monitor to the tool: an observer on the serial-port component for the bytes,
// set only while the monitor window is open or a log is being written, and taken away
// again after. The trend comes from the judged exchanges, never from the window.

#include "monitor/monitorview.h"
#include "monitor/tracker.h"
#include "monitor/traffic.h"

#include <QPointer>
#include <QWidget>

namespace kv {
class SerialComm;
} // namespace kv

namespace kv::mon {

class Monitor : public QObject {
public:
    // `makeView` makes the window at its first opening.
    Monitor(SerialComm& port, ViewMaker makeView);
    ~Monitor() override;

    // Appends every exchange to path from now on; an empty string when the file is
    // open, else the reason.
    [[nodiscard]] QString startLog(const QString& path);
    // The window the monitor first opens beside (see monitorPlacement).
    void setMainWindow(QWidget* mainWindow) { mainWindow_ = mainWindow; }
    // Opens the monitor window, or raises it when it is open; an empty string when it is
    // shown, else why it cannot be made.
    QString show();
    // What the operator is told when the window cannot be made.
    [[nodiscard]] static QString cannotOpen(const QString& why);
    // The open window; null while none is open.
    MonitorView* window() const { return window_ ? view_ : nullptr; }
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
    ViewMaker makeView_;
    QPointer<QWidget> window_;
    MonitorView* view_ = nullptr;
};

} // namespace kv::mon
