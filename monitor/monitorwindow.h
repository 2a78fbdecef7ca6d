#pragma once
// The monitor window: a trend of moisture and temperature, the traffic table and its
// statistics. It only shows what it is given; it never touches the port or the main
// window.

#include "monitor/traffic.h"

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

struct TrendPoint {
    QDateTime time;
    double moisture;    // NaN when the reply did not carry it
    double temperature; // NaN when the reply did not carry it
};

class MonitorWindow : public QWidget {
public:
    explicit MonitorWindow(QWidget* parent = nullptr);

    void addExchanges(const std::vector<Exchange>& exchanges);
    void addTrendPoint(const TrendPoint& point);

    TrafficModel& model() { return model_; }
    const Statistics& statistics() const { return stats_; }
    // The points the trend holds (the longest span offered), oldest first.
    const std::deque<TrendPoint>& trend() const { return points_; }
    QLineSeries* moistureSeries() const { return moisture_; }
    QLineSeries* temperatureSeries() const { return temperature_; }
    QLabel* statisticsLine() const { return statsLine_; }
    bool paused() const { return paused_; }
    // Redraws the trend and the statistics now instead of at the next refresh.
    void refresh();

private:
    void setPaused(bool paused);
    void clearAll();
    void saveAs();

    TrafficModel model_;
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

} // namespace kv::mon
