#pragma once
// A link to a device server or a gateway that keeps its readings. Device servers and gateways
// close a connection that was idle for a few seconds, and some keep an old session open that no
// longer answers while they take new ones: a connection the other end ended between requests
// is made anew before the next request, and so is one that left the last requests unanswered.
// Only a connection that cannot be made again, or one that ends under a request, is lost.

#include "serial/byteline.h"

#include <memory>

namespace kv::net {

// Requests in a row left unanswered before the connection is made anew, by default.
inline constexpr int RECONNECT_AFTER = 3;

class RedialLine final : public Link {
public:
    // Connections made anew, by why.
    struct Counts {
        int ended = 0;      // the other end closed it (or the link broke) between requests
        int unanswered = 0; // requests in a row went unanswered
    };

    // Over the stream given; reconnectAfter 0: never for unanswered requests.
    explicit RedialLine(std::unique_ptr<Link> stream, int reconnectAfter = RECONNECT_AFTER)
        : stream_(std::move(stream)), reconnectAfter_(reconnectAfter) {}

    [[nodiscard]] OpenResult open(const QString& name, int baud) override;
    [[nodiscard]] OpenResult reopen() override;
    [[nodiscard]] bool isOpen() const override { return !failed_; }
    [[nodiscard]] bool setBaudRate(int baud) override { return stream_->setBaudRate(baud); }
    [[nodiscard]] bool setFormat(const LineFormat& format) override;
    void close() override { stream_->close(); }

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& bytes) override;
    void waitReadable(TimePoint deadline) override;
    using ByteLine::waitReadable;
    // The connections made anew keep telling the same driver.
    [[nodiscard]] bool setNotify(std::function<void()> onActivity) override {
        return stream_->setNotify(std::move(onActivity));
    }
    // Lost when it could not be made anew, or ended while a request waited for its answer.
    [[nodiscard]] bool lost() const override { return failed_ || (awaiting_ && stream_->lost()); }
    [[nodiscard]] TimePoint now() const override { return stream_->now(); }
    [[nodiscard]] LinkFacts facts() const override { return stream_->facts(); }
    [[nodiscard]] QString errorString() const override { return failed_ ? why_ : stream_->errorString(); }
    [[nodiscard]] std::vector<std::uint8_t> takeUnmatched() override;

    [[nodiscard]] const Counts& reconnects() const { return counts_; }

private:
    // A connection made (or not): nothing of the one before is waited for.
    OpenResult opened(const OpenResult& r);
    void heard();
    // A new connection in place of the one there; false with why_ when none could be made.
    bool anew();

    std::unique_ptr<Link> stream_;
    int reconnectAfter_;
    QByteArray held_;       // read before a write: what came between requests
    int unanswered_ = 0;    // requests written since anything was heard
    bool awaiting_ = false; // a request went out on this connection and nothing was heard since
    bool failed_ = false;
    QString why_;
    Counts counts_;
};

} // namespace kv::net
