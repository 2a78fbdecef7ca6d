#pragma once
// The one engine every polling run stands on: any number of buses of any kind in one thread,
// each bus's poller ticked by Qt's event loop when its line has something and by one timer at
// its next deadline. A line that cannot notify (one on a virtual clock) is waited on instead,
// one bus at a time.

#include "poll/buspoller.h"

#include <functional>
#include <memory>
#include <vector>

class QEventLoop;

namespace kv::poll {

class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Polls the bus from now on; the poller and its line outlive the engine.
    void add(BusPoller& poller, ByteLine& line);
    // Something changed that the line does not tell (its link came back): tick it at once.
    void poke(BusPoller& poller);

    // Runs until every bus is done and `waitMore` (when given) no longer asks for more, or
    // until `stop` says so; then every bus still asking gives up its request. `stop` is
    // asked about every 50 ms (200 ms on the event loop).
    // `wakeFd`, when given, is readable when `stop` may have changed (a signal came): then `stop`
    // is asked at once, and otherwise only about once a second.
    void run(const std::function<bool()>& stop, const std::function<bool()>& waitMore = {}, int wakeFd = -1);
    // Ends run() from within a hook.
    void quit();

private:
    struct Bus;
    void service(Bus& bus);
    [[nodiscard]] bool over() const;
    void runWaiting(Bus& bus, const std::function<bool()>& stop);

    std::vector<std::unique_ptr<Bus>> buses_;
    QEventLoop* loop_ = nullptr;
    std::function<bool()> waitMore_;
    bool quit_ = false;
};

} // namespace kv::poll
