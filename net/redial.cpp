#include "net/redial.h"

namespace kv::net {

OpenResult RedialLine::open(const QString& name, int baud) {
    return opened(stream_->open(name, baud));
}

OpenResult RedialLine::reopen() {
    stream_->close();
    return opened(stream_->reopen());
}

OpenResult RedialLine::opened(const OpenResult& r) {
    failed_ = !r.ok();
    why_ = r.reason;
    unanswered_ = 0;
    awaiting_ = false;
    held_.clear();
    return r;
}

bool RedialLine::setFormat(const LineFormat& format) {
    format_ = format;
    return stream_->setFormat(format);
}

void RedialLine::heard() {
    unanswered_ = 0;
    awaiting_ = false;
}

QByteArray RedialLine::take() {
    QByteArray got = held_ + stream_->take();
    held_.clear();
    if (!got.isEmpty()) heard();
    return got;
}

std::vector<std::uint8_t> RedialLine::takeUnmatched() {
    std::vector<std::uint8_t> late = stream_->takeUnmatched();
    if (!late.empty()) heard();
    return late;
}

bool RedialLine::anew() {
    stream_->close();
    held_.clear(); // the old connection's bytes can answer nothing sent on the new one
    const OpenResult r = stream_->reopen();
    unanswered_ = 0;
    awaiting_ = false;
    if (r.ok()) return true;
    failed_ = true;
    why_ = r.reason;
    return false;
}

bool RedialLine::write(const QByteArray& bytes) {
    if (failed_) return false;
    // An end the other side made while nothing was asked shows on reading.
    held_ += stream_->take();
    if (!held_.isEmpty()) heard();
    if (stream_->lost() || !stream_->isOpen()) {
        ++counts_.ended;
        if (!anew()) return false;
    } else if (reconnectAfter_ > 0 && unanswered_ >= reconnectAfter_) {
        ++counts_.unanswered;
        if (!anew()) return false;
    }
    if (!stream_->write(bytes)) return false;
    ++unanswered_;
    awaiting_ = true;
    return true;
}

void RedialLine::waitReadable(TimePoint deadline) {
    if (!held_.isEmpty()) return;
    stream_->waitReadable(deadline);
}

} // namespace kv::net
