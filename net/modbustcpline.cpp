#include "net/modbustcpline.h"

#include "net/tcpline.h"

namespace kv::net {

ModbusTcpLine::ModbusTcpLine(std::unique_ptr<Link> stream)
    : stream_(stream ? std::move(stream) : std::make_unique<TcpLine>()) {}

void ModbusTcpLine::restart() {
    reader_.clear();
    ready_.clear();
    broken_ = false;
}

OpenResult ModbusTcpLine::open(const QString& name, int baud) {
    restart();
    return stream_->open(name, baud);
}

OpenResult ModbusTcpLine::reopen() {
    restart();
    return stream_->reopen();
}

bool ModbusTcpLine::write(const QByteArray& frame) {
    if (lost()) return false;
    ++transaction_;
    const QByteArray adu = aduForFrame(transaction_, frame);
    return !adu.isEmpty() && stream_->write(adu);
}

QByteArray ModbusTcpLine::take() {
    if (broken_) {
        QByteArray got;
        got.swap(ready_);
        return got;
    }
    reader_.feed(stream_->take());
    Adu adu;
    for (;;) {
        const AduReader::Cut cut = reader_.next(adu);
        if (cut == AduReader::Cut::NeedMore) break;
        if (cut == AduReader::Cut::Broken) {
            // Nothing after a header that is no Modbus TCP can be trusted: the connection
            // is over, as a gateway ends it for the same fault. What came is a bad reply,
            // never a lost port: passed on with a CRC that cannot hold.
            broken_ = true;
            stream_->close();
            QByteArray garbled = frameForAdu(adu);
            garbled[garbled.size() - 1] = static_cast<char>(~garbled[garbled.size() - 1]);
            ready_ += garbled;
            break;
        }
        if (adu.transaction == transaction_)
            ready_ += frameForAdu(adu);
        else if (!isGatewayException(adu.pdu))
            unmatched_.push_back(adu.unit);
    }
    QByteArray got;
    got.swap(ready_);
    return got;
}

void ModbusTcpLine::waitReadable(TimePoint deadline) {
    if (!ready_.isEmpty()) return;
    stream_->waitReadable(deadline);
}

LinkFacts ModbusTcpLine::facts() const {
    LinkFacts f = stream_->facts();
    f.frameSilenceNs = 0;
    f.wireTimed = false; // the gateway answers for itself, the bus behind it unseen
    f.matchesReplies = true;
    f.setsRate = false;
    return f;
}

QString ModbusTcpLine::errorString() const {
    return broken_ ? QStringLiteral("the gateway sent bytes that are no Modbus TCP") : stream_->errorString();
}

std::vector<std::uint8_t> ModbusTcpLine::takeUnmatched() {
    std::vector<std::uint8_t> out;
    out.swap(unmatched_);
    return out;
}

} // namespace kv::net
