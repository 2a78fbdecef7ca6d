#pragma once
// What the monitor asks of its window. The window, with Qt Charts behind it, is made by a
// ViewMaker: the tool loads it from a module at its first opening, so that Qt Charts is not
// loaded at every start; tests and benchmarks make it directly.

#include "monitor/exchange.h"

#include <QDateTime>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <vector>

class QWidget;

namespace kv::mon {

struct TrendPoint {
    QDateTime time;
    double moisture;    // NaN when the reply did not carry it
    double temperature; // NaN when the reply did not carry it
};

class MonitorView {
public:
    virtual ~MonitorView() = default;
    // The window itself; deleting it ends the view.
    virtual QWidget* widget() = 0;
    virtual void addExchanges(const std::vector<Exchange>& exchanges) = 0;
    virtual void addTrendPoint(const TrendPoint& point) = 0;
};

// Makes the window, or says in `error` why it cannot.
using ViewMaker = std::function<MonitorView*(QString* error)>;

// Where the monitor's frame opens: beside the main window's frame (right, then left) or
// below it where the screen has room; otherwise shifted down and right of the main window
// so that its title bar and left edge stay uncovered and one click brings its buttons back.
// Never larger than the screen.
[[nodiscard]] QRect monitorPlacement(const QRect& screen, const QRect& mainFrame, QSize monitor);

} // namespace kv::mon
