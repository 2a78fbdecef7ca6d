#pragma once
// The monitor window: a trend of moisture and temperature, the traffic table and its
// statistics. It only shows what it is given; it never touches the port or the main
// window.

#include "monitor/monitor.h"
#include "monitor/monitorview.h"
#include "monitor/traffic.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QWidget>

#include <deque>

class QChart;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QPushButton;
class QTableView;
class QTimer;
class QValueAxis;

namespace kv::mon {

class MonitorWindow : public QWidget, public MonitorView {
    Q_DECLARE_TR_FUNCTIONS(Monitor)
public:
    explicit MonitorWindow(QWidget* parent = nullptr);

    QWidget* widget() override { return this; }
    void addExchanges(const std::vector<Exchange>& exchanges) override;
    void addTrendPoint(const TrendPoint& point) override;

    TrafficModel& model() { return model_; }
    const Statistics& statistics() const { return stats_; }
    // The points the trend holds (the longest span offered), oldest first.
    const std::deque<TrendPoint>& trend() const { return points_; }
    QLineSeries* moistureSeries() const { return moisture_; }
    QLineSeries* temperatureSeries() const { return temperature_; }
    QLabel* statisticsLine() const { return statsLine_; }
    bool paused() const { return paused_; }
    // Brings the table, the trend and the statistics up to date now instead of at the
    // next refresh (four times a second while the window is shown).
    void refresh();

private:
    void setPaused(bool paused);
    void clearAll();
    void saveAs();

    TrafficModel model_;
    std::vector<Exchange> pending_;
    Statistics stats_;
    std::deque<TrendPoint> points_;
    bool paused_ = false;
    bool dirty_ = false;

    QLineSeries* moisture_ = nullptr;
    QLineSeries* temperature_ = nullptr;
    QDateTimeAxis* timeAxis_ = nullptr;
    QValueAxis* moistureAxis_ = nullptr;
    QValueAxis* temperatureAxis_ = nullptr;
    QComboBox* span_ = nullptr;
    QPushButton* pause_ = nullptr;
    QTableView* table_ = nullptr;
    QLabel* statsLine_ = nullptr;
    QTimer* refreshTimer_ = nullptr;
};

// Makes the window directly, for programs and tests that link it.
[[nodiscard]] ViewMaker windowMaker();
// The open window of a monitor given windowMaker(); null while none is open.
inline MonitorWindow* windowOf(const Monitor& monitor) {
    return static_cast<MonitorWindow*>(monitor.window());
}

} // namespace kv::mon
