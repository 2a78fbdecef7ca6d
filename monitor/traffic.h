#pragma once
// The traffic table's model, bounded to the newest rows, and the running statistics.

#include "monitor/exchange.h"

#include <QAbstractTableModel>
#include <QFile>

#include <deque>
#include <vector>

namespace kv::mon {

class TrafficModel : public QAbstractTableModel {
public:
    enum Column { Time, Request, Reply, ResponseMs, StatusColumn, Decoded, ColumnCount };
    static constexpr int kDefaultLimit = 10000;

    explicit TrafficModel(int limit = kDefaultLimit, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Appends, dropping the oldest rows beyond the limit.
    void append(const std::vector<Exchange>& exchanges);
    void clear();
    const Exchange& at(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    // Header and one line a row; an empty string when written, else the reason.
    [[nodiscard]] QString saveCsv(const QString& path) const;

private:
    int limit_;
    std::deque<Exchange> rows_;
};

// Counts since the last clear; response times over the newest kDefaultLimit replies.
class Statistics {
public:
    void add(const std::vector<Exchange>& exchanges);
    void clear() { *this = Statistics{}; }

    int requests() const { return requests_; }
    int replies() const { return replies_; }
    int count(Status s) const { return counts_[static_cast<int>(s)]; }
    // Requests that got no whole reply, in per cent of the requests.
    double lossPercent() const;
    // Median, 95th percentile and maximum of the response times in ms; -1 when none.
    double median() const { return percentile(50); }
    double p95() const { return percentile(95); }
    double max() const;
    QString text() const;
    // The same figures in full where a translation shortens text(); else empty.
    QString fullText() const;

private:
    double percentile(double p) const;
    QString filledIn(const QString& wording) const;

    int requests_ = 0;
    int replies_ = 0;
    int counts_[kStatusCount] = {};
    std::deque<double> times_;
};

// Appends every exchange to a CSV file as it comes, one unbuffered write a line, so
// what was logged survives the tool or the device dying.
class CsvLog {
public:
    // An empty string when the file is open for appending, else the reason.
    [[nodiscard]] QString open(const QString& path);
    bool isOpen() const { return file_.isOpen(); }
    // False when a line could not be written; the reason is in error().
    bool append(const std::vector<Exchange>& exchanges);
    QString error() const { return file_.errorString(); }

private:
    QFile file_;
};

} // namespace kv::mon
