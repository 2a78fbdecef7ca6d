#include "monitor/monitorwindow.h"

#include "look/palette.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace kv::mon {
namespace {

constexpr int kLongestSpanMinutes = 60;
// Points drawn a series at most; denser trends are thinned by taking every n-th point.
constexpr int kMostPointsDrawn = 1500;
constexpr int kRefreshMs = 250;
constexpr int kFewPoints = 60;

void fitAxis(QValueAxis* axis, double lo, double hi) {
    if (!(lo <= hi)) {
        axis->setRange(0, 1);
        return;
    }
    const double pad = std::max(0.5, (hi - lo) * 0.1);
    axis->setRange(std::floor(lo - pad), std::ceil(hi + pad));
}

} // namespace

MonitorWindow::MonitorWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("monitor"));
    setWindowTitle(tr("KV7702R 通讯监视器"));
    // Light like the main window beside it, whatever the desktop's theme: its chart is light.
    setPalette(lightPalette());
    resize(1100, 760);

    auto* chart = new QChart;
    chart->setTitle(tr("趋势"));
    chart->legend()->setAlignment(Qt::AlignTop);
    moisture_ = new QLineSeries;
    moisture_->setName(tr("水分 (%)"));
    temperature_ = new QLineSeries;
    temperature_->setName(tr("温度 (℃)"));
    chart->addSeries(moisture_);
    chart->addSeries(temperature_);
    timeAxis_ = new QDateTimeAxis;
    timeAxis_->setFormat(QStringLiteral("HH:mm:ss"));
    timeAxis_->setTitleText(tr("时间"));
    moistureAxis_ = new QValueAxis;
    moistureAxis_->setTitleText(tr("水分 (%)"));
    temperatureAxis_ = new QValueAxis;
    temperatureAxis_->setTitleText(tr("温度 (℃)"));
    chart->addAxis(timeAxis_, Qt::AlignBottom);
    chart->addAxis(moistureAxis_, Qt::AlignLeft);
    chart->addAxis(temperatureAxis_, Qt::AlignRight);
    moisture_->attachAxis(timeAxis_);
    moisture_->attachAxis(moistureAxis_);
    temperature_->attachAxis(timeAxis_);
    temperature_->attachAxis(temperatureAxis_);
    auto* chartView = new QChartView(chart);
    chartView->setObjectName(QStringLiteral("trend"));
    chartView->setRenderHint(QPainter::Antialiasing);

    span_ = new QComboBox;
    span_->setObjectName(QStringLiteral("span"));
    span_->addItem(tr("最近 1 分钟"), 1);
    span_->addItem(tr("最近 10 分钟"), 10);
    span_->addItem(tr("最近 60 分钟"), kLongestSpanMinutes);
    span_->setCurrentIndex(1);
    pause_ = new QPushButton(tr("暂停"));
    pause_->setObjectName(QStringLiteral("pause"));
    auto* clear = new QPushButton(tr("清除"));
    clear->setObjectName(QStringLiteral("clear"));
    auto* save = new QPushButton(tr("另存为CSV…"));
    save->setObjectName(QStringLiteral("saveCsv"));

    table_ = new QTableView;
    table_->setObjectName(QStringLiteral("traffic"));
    table_->setModel(&model_);
    table_->verticalHeader()->setDefaultSectionSize(20);
    table_->verticalHeader()->setVisible(false);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setColumnWidth(TrafficModel::Time, 100);
    table_->setColumnWidth(TrafficModel::Request, 200);
    table_->setColumnWidth(TrafficModel::Reply, 220);
    table_->setColumnWidth(TrafficModel::ResponseMs, 90);
    table_->setColumnWidth(TrafficModel::StatusColumn, 220);

    statsLine_ = new QLabel;
    statsLine_->setObjectName(QStringLiteral("statistics"));
    statsLine_->setWordWrap(true);
    statsLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QHBoxLayout;
    auto* spanCaption = new QLabel(tr("时间范围"));
    spanCaption->setObjectName(QStringLiteral("spanCaption"));
    buttons->addWidget(spanCaption);
    buttons->addWidget(span_);
    buttons->addWidget(pause_);
    buttons->addWidget(clear);
    buttons->addStretch();
    buttons->addWidget(save);

    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(chartView);
    split->addWidget(table_);
    split->setSizes({330, 370});

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(split, 1);
    layout->addWidget(statsLine_);

    connect(pause_, &QPushButton::clicked, this, [this] { setPaused(!paused_); });
    connect(clear, &QPushButton::clicked, this, [this] { clearAll(); });
    connect(save, &QPushButton::clicked, this, [this] { saveAs(); });
    connect(span_, &QComboBox::currentIndexChanged, this, [this] {
        dirty_ = true;
        refresh();
    });

    // Drawing is paced by this timer, never by the traffic.
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setInterval(kRefreshMs);
    connect(refreshTimer_, &QTimer::timeout, this, [this] {
        if (dirty_ && isVisible()) refresh();
    });
    refreshTimer_->start();
    dirty_ = true;
    refresh();
}

void MonitorWindow::addExchanges(const std::vector<Exchange>& exchanges) {
    stats_.add(exchanges);
    if (!paused_) {
        // Rows reach the table at the next refresh, a batch at a time; no more than it keeps.
        pending_.insert(pending_.end(), exchanges.begin(), exchanges.end());
        if (pending_.size() > static_cast<std::size_t>(TrafficModel::kDefaultLimit))
            pending_.erase(pending_.begin(), pending_.end() - TrafficModel::kDefaultLimit);
    }
    dirty_ = true;
}

void MonitorWindow::addTrendPoint(const TrendPoint& point) {
    if (paused_) return;
    points_.push_back(point);
    const QDateTime oldest = point.time.addSecs(-60 * kLongestSpanMinutes);
    while (!points_.empty() && points_.front().time < oldest)
        points_.pop_front();
    dirty_ = true;
}

void MonitorWindow::refresh() {
    dirty_ = false;
    model_.append(pending_);
    pending_.clear();
    statsLine_->setText(stats_.text());
    const QString full = stats_.fullText();
    if (full != statsLine_->toolTip()) statsLine_->setToolTip(full);
    if (!paused_ && table_->isVisible()) table_->scrollToBottom();

    const int minutes = span_->currentData().toInt();
    const QDateTime end = points_.empty() ? QDateTime::currentDateTime() : points_.back().time;
    const QDateTime begin = end.addSecs(-60 * minutes);
    auto first = points_.begin();
    while (first != points_.end() && first->time < begin)
        ++first;
    const auto shown = static_cast<int>(points_.end() - first);
    const int step = std::max(1, (shown + kMostPointsDrawn - 1) / kMostPointsDrawn);
    QList<QPointF> m, t;
    double mLo = INFINITY, mHi = -INFINITY, tLo = INFINITY, tHi = -INFINITY;
    for (int i = 0; i < shown; i += step) {
        const TrendPoint& p = *(first + i);
        const auto x = static_cast<qreal>(p.time.toMSecsSinceEpoch());
        if (!std::isnan(p.moisture)) {
            m.append(QPointF(x, p.moisture));
            mLo = std::min(mLo, p.moisture);
            mHi = std::max(mHi, p.moisture);
        }
        if (!std::isnan(p.temperature)) {
            t.append(QPointF(x, p.temperature));
            tLo = std::min(tLo, p.temperature);
            tHi = std::max(tHi, p.temperature);
        }
    }
    moisture_->replace(m);
    temperature_->replace(t);
    // A few readings are dots, not yet a line.
    moisture_->setPointsVisible(m.size() <= kFewPoints);
    temperature_->setPointsVisible(t.size() <= kFewPoints);
    timeAxis_->setRange(begin, end);
    fitAxis(moistureAxis_, mLo, mHi);
    fitAxis(temperatureAxis_, tLo, tHi);
}

void MonitorWindow::setPaused(bool paused) {
    paused_ = paused;
    pause_->setText(paused ? tr("继续") : tr("暂停"));
    dirty_ = true;
}

void MonitorWindow::clearAll() {
    pending_.clear();
    model_.clear();
    stats_.clear();
    points_.clear();
    dirty_ = true;
    refresh();
}

void MonitorWindow::saveAs() {
    const QString path = QFileDialog::getSaveFileName(this, tr("另存为CSV"), QStringLiteral("traffic.csv"),
                                                      QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty()) return;
    const QString error = model_.saveCsv(path);
    if (!error.isEmpty())
        QMessageBox::warning(this, tr("保存失败"),
                             tr("无法写入 %1：%2").arg(QDir::toNativeSeparators(path), error));
}

ViewMaker windowMaker() {
    return [](QString*) -> MonitorView* { return new MonitorWindow; };
}

} // namespace kv::mon
