#include "monitor/tracker.h"

namespace kv::mon {

Tracker::Tracker(QObject* parent, Clock clock, QDateTime start)
    : QObject(parent), clock_(std::move(clock)), start_(std::move(start)) {
    if (!clock_) {
        elapsed_.start();
        clock_ = [this] { return elapsed_.nsecsElapsed(); };
    }
}

void Tracker::note(bool written, const QByteArray& bytes) {
    noted_.push_back({clock_(), written, bytes});
    if (!posted_) {
        posted_ = true;
        QMetaObject::invokeMethod(this, &Tracker::process, Qt::QueuedConnection);
    }
}

void Tracker::close(std::vector<Exchange>& out) {
    if (waiting_ || stray_) {
        judge(open_);
        out.push_back(open_);
    }
    open_ = Exchange{};
    waiting_ = stray_ = false;
}

void Tracker::arrived(qint64 ns, const QByteArray& bytes) {
    QByteArray rest = bytes;
    if (waiting_) {
        open_.reply += rest;
        rest.clear();
        const int expected = sensor::replyLength(open_.reply, expect_);
        if (expected > 0 && open_.reply.size() >= expected) {
            rest = open_.reply.mid(expected);
            open_.reply.truncate(expected);
            open_.responseMs = static_cast<double>(ns - sentNs_) / 1e6;
            close(done_);
        }
    }
    if (rest.isEmpty()) return;
    if (!stray_) {
        open_ = Exchange{};
        open_.time = wallTime(ns);
        stray_ = true;
    }
    open_.reply += rest;
}

void Tracker::process() {
    posted_ = false;
    std::vector<Noted> noted;
    noted.swap(noted_);
    for (Noted& n : noted) {
        if (n.written) {
            close(done_);
            open_.time = wallTime(n.ns);
            open_.request = n.bytes;
            expect_ = sensor::expectFor(n.bytes);
            sentNs_ = n.ns;
            waiting_ = true;
        } else {
            arrived(n.ns, n.bytes);
        }
    }
    if (done_.empty()) return;
    std::vector<Exchange> done;
    done.swap(done_);
    if (onExchanges) onExchanges(done);
}

void Tracker::finish() {
    process();
    close(done_);
    std::vector<Exchange> done;
    done.swap(done_);
    if (!done.empty() && onExchanges) onExchanges(done);
}

void Tracker::reset() {
    noted_.clear();
    done_.clear();
    open_ = Exchange{};
    waiting_ = stray_ = false;
}

} // namespace kv::mon
