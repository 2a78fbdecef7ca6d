#include "monitor/traffic.h"

#include "sensor/records.h"

#include <QColor>
#include <QCoreApplication>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace kv::mon {
namespace {

// Spreadsheets take a CSV for the local code page unless it begins with this mark.
const QByteArray kUtf8Bom = QByteArrayLiteral("\xEF\xBB\xBF");

} // namespace

TrafficModel::TrafficModel(int limit, QObject* parent)
    : QAbstractTableModel(parent), limit_(std::max(1, limit)) {}

int TrafficModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TrafficModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Exchange& ex = at(index.row());
    if (role == Qt::ForegroundRole && index.column() == StatusColumn && ex.status != Status::Ok)
        return QColor(200, 0, 0);
    if (role == Qt::TextAlignmentRole && index.column() == ResponseMs)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole && index.column() == StatusColumn) {
        const QString full = statusFullWording(ex);
        return full.isEmpty() ? QVariant() : QVariant(full);
    }
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case Time:
        return ex.time.toString(QStringLiteral("HH:mm:ss.zzz"));
    case Request:
        return hexText(ex.request);
    case Reply:
        return hexText(ex.reply);
    case ResponseMs:
        return ex.responseMs < 0 ? QString() : QString::number(ex.responseMs, 'f', 1);
    case StatusColumn:
        return statusText(ex);
    case Decoded:
        return ex.decoded;
    default:
        return {};
    }
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char* const names[] = {
        QT_TRANSLATE_NOOP("Monitor", "时间"), QT_TRANSLATE_NOOP("Monitor", "请求"),
        QT_TRANSLATE_NOOP("Monitor", "应答"), QT_TRANSLATE_NOOP("Monitor", "响应时间(ms)"),
        QT_TRANSLATE_NOOP("Monitor", "状态"), QT_TRANSLATE_NOOP("Monitor", "解码值")};
    return section >= 0 && section < ColumnCount ? QCoreApplication::translate("Monitor", names[section])
                                                 : QString();
}

void TrafficModel::append(const std::vector<Exchange>& exchanges) {
    if (exchanges.empty()) return;
    const int incoming = std::min(static_cast<int>(exchanges.size()), limit_);
    const int drop = std::max(0, rowCount() + incoming - limit_);
    if (drop > 0) {
        beginRemoveRows(QModelIndex(), 0, drop - 1);
        rows_.erase(rows_.begin(), rows_.begin() + drop);
        endRemoveRows();
    }
    beginInsertRows(QModelIndex(), rowCount(), rowCount() + incoming - 1);
    rows_.insert(rows_.end(), exchanges.end() - incoming, exchanges.end());
    endInsertRows();
}

void TrafficModel::clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

QString TrafficModel::saveCsv(const QString& path) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return file.errorString();
    QByteArray text = kUtf8Bom + csvHeader().toUtf8() + "\r\n";
    for (const Exchange& ex : rows_)
        text += csvLine(ex).toUtf8() + "\r\n";
    if (file.write(text) != text.size() || !file.commit()) return file.errorString();
    return QString();
}

void Statistics::add(const std::vector<Exchange>& exchanges) {
    for (const Exchange& ex : exchanges) {
        ++counts_[static_cast<int>(ex.status)];
        if (!ex.request.isEmpty()) ++requests_;
        if (ex.responseMs >= 0) {
            ++replies_;
            times_.push_back(ex.responseMs);
            if (times_.size() > static_cast<std::size_t>(TrafficModel::kDefaultLimit)) times_.pop_front();
        }
    }
}

double Statistics::lossPercent() const {
    return requests_ == 0 ? 0.0 : 100.0 * (requests_ - replies_) / requests_;
}

double Statistics::percentile(double p) const {
    if (times_.empty()) return -1;
    return sensor::percentile({times_.begin(), times_.end()}, p);
}

double Statistics::max() const {
    return times_.empty() ? -1 : *std::max_element(times_.begin(), times_.end());
}

namespace {

// A translation shortens the line to keep it to one line, and gives the full wording too.
const char* const kStatistics = QT_TRANSLATE_NOOP(
    "Monitor", "请求 %1  应答 %2  CRC错误 %3  其他地址 %4  功能码不符 %5  异常 %6  回显不符 %7  "
               "不完整 %8  无应答 %9  无请求字节 %10  丢失率 %11%  响应时间 中位数 %12 ms  P95 %13 ms  "
               "最大 %14 ms");
const char* const kStatisticsInFull[] = QT_TRANSLATE_NOOP3(
    "Monitor",
    "请求 %1  应答 %2  CRC错误 %3  其他地址 %4  功能码不符 %5  异常 %6  回显不符 %7  不完整 %8  "
    "无应答 %9  无请求字节 %10  丢失率 %11%  响应时间 中位数 %12 ms  P95 %13 ms  最大 %14 ms",
    "full wording");

} // namespace

QString Statistics::text() const {
    return filledIn(QCoreApplication::translate("Monitor", kStatistics));
}

QString Statistics::fullText() const {
    const QString full = QCoreApplication::translate("Monitor", kStatisticsInFull[0], kStatisticsInFull[1]);
    return full == QString::fromUtf8(kStatisticsInFull[0]) ? QString() : filledIn(full);
}

QString Statistics::filledIn(const QString& wording) const {
    const auto ms = [](double v) { return v < 0 ? QStringLiteral("-") : QString::number(v, 'f', 1); };
    return wording.arg(requests_)
        .arg(replies_)
        .arg(count(Status::CrcError))
        .arg(count(Status::OtherAddress))
        .arg(count(Status::WrongFunction))
        .arg(count(Status::Exception))
        .arg(count(Status::BadEcho))
        .arg(count(Status::Incomplete))
        .arg(count(Status::NoReply))
        .arg(count(Status::Unsolicited))
        .arg(QString::number(lossPercent(), 'f', 1), ms(median()), ms(p95()), ms(max()));
}

QString CsvLog::open(const QString& path) {
    file_.setFileName(path);
    if (!file_.open(QIODevice::Append | QIODevice::Unbuffered)) return file_.errorString();
    if (file_.size() == 0 && file_.write(kUtf8Bom + csvHeader().toUtf8() + "\r\n") < 0)
        return file_.errorString();
    return QString();
}

bool CsvLog::append(const std::vector<Exchange>& exchanges) {
    for (const Exchange& ex : exchanges) {
        const QByteArray line = csvLine(ex).toUtf8() + "\r\n";
        if (file_.write(line) != line.size()) return false;
    }
    return true;
}

} // namespace kv::mon
