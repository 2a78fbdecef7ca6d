#pragma once
// A Modbus-TCP gateway as a byte line: the line discipline writes RTU frames and reads RTU
// frames, and this link carries them as ADUs. Each request gets the next transaction id, and
// only a reply that carries the id of the last request is passed on: a reply to an earlier
// one (late past its timeout) is dropped here and told as late by its sender, so it can never
// pass for another request's answer, whatever its shape. The gateway's own exceptions for an
// earlier request are dropped silently: no device sent them. Bytes that are no Modbus TCP end
// the connection and reach the discipline as a garbled reply.

#include "net/mbap.h"
#include "serial/byteline.h"

#include <memory>

namespace kv::net {

class ModbusTcpLine final : public Link {
public:
    // Over the stream given (tests: a scripted line); by default a TCP connection.
    explicit ModbusTcpLine(std::unique_ptr<Link> stream = {});

    [[nodiscard]] OpenResult open(const QString& name, int baud) override;
    [[nodiscard]] OpenResult reopen() override;
    [[nodiscard]] bool isOpen() const override { return !broken_ && stream_->isOpen(); }
    [[nodiscard]] bool setBaudRate(int baud) override { return stream_->setBaudRate(baud); }
    void close() override { stream_->close(); }

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& frame) override;
    void waitReadable(TimePoint deadline) override;
    using ByteLine::waitReadable;
    [[nodiscard]] bool setNotify(std::function<void()> onActivity) override {
        return stream_->setNotify(std::move(onActivity));
    }
    [[nodiscard]] bool lost() const override { return broken_ || stream_->lost(); }
    [[nodiscard]] TimePoint now() const override { return stream_->now(); }
    [[nodiscard]] LinkFacts facts() const override;
    [[nodiscard]] QString errorString() const override;
    [[nodiscard]] std::vector<std::uint8_t> takeUnmatched() override;

    // The transaction id of the last request sent.
    [[nodiscard]] std::uint16_t transaction() const { return transaction_; }

private:
    void restart();

    std::unique_ptr<Link> stream_;
    AduReader reader_;
    QByteArray ready_; // RTU frames of replies to the last request
    std::vector<std::uint8_t> unmatched_;
    std::uint16_t transaction_ = 0;
    bool broken_ = false;
};

} // namespace kv::net
