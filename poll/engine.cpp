#include "poll/engine.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace kv::poll {

namespace {
// How often the operator's stop is looked at: while one line is waited on, and on the event loop,
// where many buses' timers would otherwise share the wakeups.
constexpr Millis STOP_SLICE{50};
constexpr Millis LOOP_STOP_SLICE{200};
// With a descriptor that tells of signals, the rest (a time to stop waiting) is looked at seldom.
constexpr Millis LOOP_STOP_SLICE_TOLD{1000};
} // namespace

struct Engine::Bus {
    BusPoller* poller = nullptr;
    ByteLine* line = nullptr;
    bool notifies = false;
    QTimer timer;
    TimePoint armedFor = TimePoint::max(); // the wake the timer is set for
};

Engine::Engine() = default;
Engine::~Engine() = default;

void Engine::add(BusPoller& poller, ByteLine& line) {
    auto bus = std::make_unique<Bus>();
    bus->poller = &poller;
    bus->line = &line;
    Bus* b = bus.get();
    b->timer.setSingleShot(true);
    b->timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&b->timer, &QTimer::timeout, [this, b] { service(*b); });
    b->notifies = line.setNotify([this, b] { service(*b); });
    buses_.push_back(std::move(bus));
    if (loop_) service(*b);
}

void Engine::poke(BusPoller& poller) {
    for (const auto& b : buses_)
        if (b->poller == &poller) service(*b);
}

void Engine::service(Bus& bus) {
    const TimePoint now = bus.line->now();
    bus.poller->tick(now);
    // Only a bus that is done can end the run; the others are looked at then.
    if (bus.poller->done() && over()) {
        if (loop_) loop_->quit();
        return;
    }
    TimePoint wake = bus.poller->wake(bus.line->now());
    // Bytes held back (a heartbeat's possible start) are given up by time, never told.
    if (const std::optional<TimePoint> release = bus.line->releaseAt()) wake = std::min(wake, *release);
    // Setting a timer costs more than the tick: it is left alone when its time stays.
    if (wake == bus.armedFor && (bus.timer.isActive() || wake == TimePoint::max())) return;
    bus.armedFor = wake;
    if (wake == TimePoint::max()) {
        bus.timer.stop();
        return;
    }
    // Rounded up: a timer that fires before the deadline would only be set again.
    const auto left = std::chrono::ceil<Millis>(wake - bus.line->now());
    bus.timer.start(static_cast<int>(std::clamp<Millis::rep>(left.count(), 0, 24 * 3600 * 1000)));
}

bool Engine::over() const {
    if (quit_) return true;
    const bool allDone =
        std::all_of(buses_.begin(), buses_.end(), [](const auto& b) { return b->poller->done(); });
    return allDone && !(waitMore_ && waitMore_());
}

void Engine::quit() {
    quit_ = true;
    if (loop_) loop_->quit();
}

void Engine::run(const std::function<bool()>& stop, const std::function<bool()>& waitMore, int wakeFd) {
    waitMore_ = waitMore;
    quit_ = false;
    // A line on a virtual clock keeps its time only while it is waited on.
    if (buses_.size() == 1 && !buses_.front()->notifies && !waitMore) {
        runWaiting(*buses_.front(), stop);
    } else {
        QEventLoop loop;
        loop_ = &loop;
        const auto check = [&] {
            if ((stop && stop()) || over()) loop.quit();
        };
        QTimer stopCheck;
        QObject::connect(&stopCheck, &QTimer::timeout, check);
        std::unique_ptr<QSocketNotifier> told;
#ifdef Q_OS_UNIX
        if (wakeFd >= 0) {
            told = std::make_unique<QSocketNotifier>(wakeFd, QSocketNotifier::Read);
            QObject::connect(told.get(), &QSocketNotifier::activated, [&] {
                char drained[64];
                while (::read(wakeFd, drained, sizeof drained) > 0) {
                }
                check();
            });
        }
#endif
        stopCheck.start(static_cast<int>((wakeFd >= 0 ? LOOP_STOP_SLICE_TOLD : LOOP_STOP_SLICE).count()));
        for (const auto& b : buses_)
            QTimer::singleShot(0, &b->timer, [this, bus = b.get()] { service(*bus); });
        if (!over()) loop.exec();
        loop_ = nullptr;
    }
    for (const auto& b : buses_) {
        b->timer.stop();
        if (!b->poller->done()) b->poller->stop(b->line->now());
    }
    waitMore_ = {};
}

void Engine::runWaiting(Bus& bus, const std::function<bool()>& stop) {
    BusPoller& p = *bus.poller;
    ByteLine& line = *bus.line;
    while (!quit_ && !p.done()) {
        if (stop && stop()) return;
        p.tick(line.now());
        if (quit_ || p.done()) return;
        const TimePoint now = line.now();
        const TimePoint wake = p.wake(now);
        if (wake <= now) continue;
        line.waitReadable(stop ? std::min(wake, now + STOP_SLICE) : wake);
    }
}

} // namespace kv::poll
