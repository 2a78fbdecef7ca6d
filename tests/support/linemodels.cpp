#include "linemodels.h"

#include "sim/rtu.h"

#include <algorithm>

namespace kv::fake {
namespace {

constexpr std::uint8_t kAddressReadDevice = 250;
constexpr std::uint16_t kParameterWrites = 0x0A00;
constexpr std::uint16_t kAddressRegister = 0x0B00;
// How far ahead noise is laid out: longer than any schedule runs.
constexpr qint64 kNoiseHorizonNs = 120000 * NS_PER_MS;
// The turns of sensors answering the address read one after another.
constexpr double kAddressReadTurnsMs[] = {10, 150, 350};

QByteArray sealed(kvsim::Bytes b) {
    kvsim::appendCrc(b);
    return {reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size())};
}

// True when some run of the bytes is a frame closed by its CRC.
bool holdsFrame(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    for (int from = 0; from < bytes.size(); ++from)
        for (int end = from + 4; end <= bytes.size(); ++end) {
            const std::uint16_t crc = kvsim::crc16(p + from, static_cast<std::size_t>(end - from - 2));
            if (p[end - 2] == (crc & 0xFF) && p[end - 1] == (crc >> 8)) return true;
        }
    return false;
}

} // namespace

const std::vector<Model>& models() {
    static const std::vector<Model> all = [] {
        std::vector<Model> m(14);
        m[0].name = "prompt";
        m[1].name = "slow with jitter";
        m[1].turnMinMs = 5;
        m[1].turnMaxMs = 500;
        m[2].name = "late replies that queue";
        m[2].turnMinMs = 5;
        m[2].turnMaxMs = 40;
        m[2].lateChance = 0.3;
        m[2].lateMinMs = 100;
        m[2].lateMaxMs = 2000;
        m[3] = m[2];
        m[3].name = "late replies that drop requests heard meanwhile";
        m[3].dropWhileBusy = true;
        m[4].name = "noise bursts and garbage between frames";
        m[4].turnMinMs = 2;
        m[4].turnMaxMs = 300;
        m[4].noisePerSecond = 6;
        m[5].name = "CRC errors";
        m[5].turnMaxMs = 60;
        m[5].crcChance = 0.2;
        m[6].name = "echoing adapter";
        m[6].turnMaxMs = 30;
        m[6].echo = true;
        m[7].name = "several sensors answering one request";
        m[7].severalAnswer = true;
        m[8].name = "silent then back";
        m[8].turnMaxMs = 80;
        m[8].silentSpell = true;
        m[9].name = "unplug";
        m[9].turnMaxMs = 80;
        m[9].unplug = true;
        m[10] = m[2];
        m[10].name = "late exceptions";
        m[10].exceptionChance = 0.3;
        m[11] = m[2];
        m[11].name = "late replies, some garbled";
        m[11].crcChance = 0.2;
        m[12] = m[4];
        m[12].name = "noise while a garbled reply ends";
        m[12].noisePerSecond = 20;
        m[12].crcChance = 0.3;
        m[13].name = "an earlier run's reads still queued";
        m[13].turnMinMs = 5;
        m[13].turnMaxMs = 60;
        m[13].pastRequests = 6;
        return m;
    }();
    return all;
}

Bus::Bus(FakeLine& line, const Model& model, const std::vector<std::uint8_t>& addresses, std::uint32_t seed)
    : line_(line), model_(model), rng_(seed) {
    for (std::uint8_t a : addresses) {
        Sensor s;
        s.address = a;
        s.regs[1] = static_cast<std::uint16_t>(2000 + a);
        for (int r = 2; r < 9; ++r)
            s.regs[static_cast<std::size_t>(r)] = static_cast<std::uint16_t>(100 * r + a);
        sensors_.push_back(s);
    }
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); };
    if (model_.silentSpell && !sensors_.empty()) {
        Sensor& s = sensors_[std::uniform_int_distribution<std::size_t>(0, sensors_.size() - 1)(rng_)];
        s.silentFromNs = static_cast<qint64>(uniform(0, 3000) * NS_PER_MS);
        s.silentUntilNs = s.silentFromNs + static_cast<qint64>(uniform(300, 5000) * NS_PER_MS);
    }
    if (model_.unplug) {
        const auto at = static_cast<qint64>(uniform(0, 3000) * NS_PER_MS);
        line_.unplug(at, at + static_cast<qint64>(uniform(200, 4000) * NS_PER_MS));
    }
    line_.setEcho(model_.echo);
    if (model_.noisePerSecond > 0) scheduleNoise(kNoiseHorizonNs);
    if (model_.pastRequests > 0) schedulePast();
    line_.onWrite = [this](int index) { onRequest(index); };
}

const std::vector<Reply>& Bus::repliesTo(int index) const {
    static const std::vector<Reply> none;
    return index >= 0 && index < static_cast<int>(replies_.size()) ? replies_[static_cast<std::size_t>(index)]
                                                                   : none;
}

std::uint16_t Bus::holds(std::uint8_t address, int reg) const {
    for (const Sensor& s : sensors_)
        if (s.address == address) return s.regs[static_cast<std::size_t>(reg)];
    return 0;
}

void Bus::schedulePast() {
    // Reads an earlier run sent just before this one began, answered in order from now on:
    // their replies belong to no request of this run. One sensor's come after another's, as
    // the earlier run asked them in turn.
    qint64 t = static_cast<qint64>(std::uniform_real_distribution<double>(0, 30)(rng_) * NS_PER_MS);
    for (Sensor& s : sensors_) {
        const int n = std::uniform_int_distribution<int>(1, model_.pastRequests)(rng_);
        for (int k = 0; k < n; ++k) {
            const int start = std::uniform_int_distribution<int>(0, 7)(rng_);
            const int count = std::uniform_int_distribution<int>(1, std::min(9 - start, 3))(rng_);
            const QByteArray request =
                sealed({s.address, kvsim::fn::kReadHolding, 0, static_cast<std::uint8_t>(start), 0,
                        static_cast<std::uint8_t>(count)});
            const QByteArray reply = answer(s, request);
            t += static_cast<qint64>(
                std::uniform_real_distribution<double>(model_.turnMinMs, model_.turnMaxMs)(rng_) * NS_PER_MS);
            line_.arrive(t + line_.wireNs(static_cast<int>(reply.size())), reply, EARLIER_RUN);
            t += line_.wireNs(static_cast<int>(reply.size()));
        }
        s.busyUntilNs = t;
    }
}

void Bus::scheduleNoise(qint64 untilNs) {
    std::exponential_distribution<double> gap(model_.noisePerSecond);
    std::uniform_int_distribution<int> length(1, 12);
    std::uniform_int_distribution<int> byte(0, 255);
    for (double t = gap(rng_); t * 1e9 < static_cast<double>(untilNs); t += gap(rng_)) {
        QByteArray burst;
        do {
            burst.clear();
            for (int i = length(rng_); i > 0; --i)
                burst.append(static_cast<char>(byte(rng_)));
        } while (holdsFrame(burst)); // noise that happened to be a frame would be one
        line_.arrive(static_cast<qint64>(t * 1e9), burst, NOISE);
    }
}

QByteArray sealedHex(const char* hexBody) {
    const QByteArray body = QByteArray::fromHex(hexBody);
    const auto* p = reinterpret_cast<const std::uint8_t*>(body.constData());
    return sealed(kvsim::Bytes(p, p + body.size()));
}

std::vector<std::uint8_t> heardRequest(const FakeLine& line, int index) {
    const QByteArray& bytes = line.writes()[static_cast<std::size_t>(index)].bytes;
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    kvsim::Bytes request(p, p + bytes.size());
    if (request.size() != 8 || !kvsim::crcValid(request)) return {};
    return request;
}

qint64 heardAtNs(const FakeLine& line, int index) {
    const FakeLine::Written& w = line.writes()[static_cast<std::size_t>(index)];
    return w.ns + line.wireNs(static_cast<int>(w.bytes.size()));
}

void Bus::onRequest(int index) {
    replies_.resize(static_cast<std::size_t>(index) + 1);
    const FakeLine::Written& w = line_.writes()[static_cast<std::size_t>(index)];
    const kvsim::Bytes request = heardRequest(line_, index);
    if (request.empty()) return;
    const qint64 heardNs = heardAtNs(line_, index);
    const Fate fate = script ? script(index, w.bytes) : Fate::Normal;
    if (fate == Fate::Ignored) {
        ++dropped_;
        return;
    }
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); };
    for (std::size_t i = 0; i < sensors_.size(); ++i) {
        Sensor& s = sensors_[i];
        const bool addressRead = request[0] == kAddressReadDevice && request[1] == kvsim::fn::kReadHolding;
        if (request[0] != s.address && !(addressRead && (model_.severalAnswer || i == 0))) continue;
        if (heardNs >= s.silentFromNs && heardNs < s.silentUntilNs) {
            ++dropped_;
            continue;
        }
        if (model_.dropWhileBusy && heardNs < s.busyUntilNs) {
            ++dropped_;
            continue;
        }
        const bool refused =
            fate == Fate::Refused || (model_.exceptionChance > 0 && uniform(0, 1) < model_.exceptionChance);
        const QByteArray reply = refused ? sealed({s.address, static_cast<std::uint8_t>(request[1] | 0x80),
                                                   kvsim::exc::kDeviceFailure})
                                         : answer(s, w.bytes);
        if (reply.isEmpty() || fate == Fate::Unanswered) continue;
        const std::optional<double> own = turnOf ? turnOf(s.address) : std::nullopt;
        double turnMs = own                                   ? *own
                        : addressRead && model_.severalAnswer ? kAddressReadTurnsMs[i % 3] + uniform(0, 5)
                                                              : uniform(model_.turnMinMs, model_.turnMaxMs);
        if (model_.lateChance > 0 && uniform(0, 1) < model_.lateChance)
            turnMs += uniform(model_.lateMinMs, model_.lateMaxMs);
        // A sensor works through what it hears in order.
        const qint64 startNs = std::max(heardNs, s.busyUntilNs) + static_cast<qint64>(turnMs * NS_PER_MS);
        s.busyUntilNs = startNs + line_.wireNs(static_cast<int>(reply.size()));
        send(reply, startNs, index);
    }
}

QByteArray Bus::answer(Sensor& s, const QByteArray& request) {
    const auto at = [&](int i) { return static_cast<std::uint8_t>(request[i]); };
    const auto reg = static_cast<std::uint16_t>(at(2) << 8 | at(3));
    const auto value = static_cast<std::uint16_t>(at(4) << 8 | at(5));
    if (at(0) == kAddressReadDevice) return sealed({s.address, kvsim::fn::kReadHolding, 2, 0, s.address});
    if (at(1) == kvsim::fn::kReadHolding) {
        if (value == 0 || reg + value > 9) return sealed({s.address, 0x83, kvsim::exc::kIllegalAddress});
        // The moisture register counts the replies, so no two measurements read alike.
        s.regs[0] = ++s.serial;
        kvsim::Bytes b{s.address, kvsim::fn::kReadHolding, static_cast<std::uint8_t>(2 * value)};
        for (int r = reg; r < reg + value; ++r) {
            const std::uint16_t v = reads ? reads(s.address, r).value_or(s.regs[static_cast<std::size_t>(r)])
                                          : s.regs[static_cast<std::size_t>(r)];
            b.push_back(static_cast<std::uint8_t>(v >> 8));
            b.push_back(static_cast<std::uint8_t>(v & 0xFF));
        }
        return sealed(b);
    }
    if (at(1) == kvsim::fn::kWriteSingle && reg == kAddressRegister) {
        const std::uint8_t old = s.address;
        s.address = static_cast<std::uint8_t>(value);
        return sealed({old, kvsim::fn::kWriteSingle, 1, s.address});
    }
    if (at(1) == kvsim::fn::kWriteSingle && reg >= kParameterWrites && reg < kParameterWrites + 14 &&
        reg % 2 == 0) {
        s.regs[static_cast<std::size_t>(2 + (reg - kParameterWrites) / 2)] = value;
        return request;
    }
    return sealed({s.address, static_cast<std::uint8_t>(at(1) | 0x80), kvsim::exc::kIllegalFunction});
}

void Bus::send(const QByteArray& frame, qint64 startNs, int index) {
    QByteArray bytes = frame;
    const bool damaged =
        model_.crcChance > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < model_.crcChance;
    if (damaged) {
        const int at = std::uniform_int_distribution<int>(0, static_cast<int>(bytes.size()) - 1)(rng_);
        bytes[at] = static_cast<char>(bytes[at] ^ std::uniform_int_distribution<int>(1, 255)(rng_));
    }
    // Handed over in one to three pieces, as a USB adapter does.
    const int pieces = std::uniform_int_distribution<int>(1, 3)(rng_);
    int sent = 0;
    for (int k = 1; k <= pieces; ++k) {
        const int upTo = k == pieces
                             ? static_cast<int>(bytes.size())
                             : std::uniform_int_distribution<int>(sent, static_cast<int>(bytes.size()))(rng_);
        if (upTo > sent) line_.arrive(startNs + line_.wireNs(upTo), bytes.mid(sent, upTo - sent), index);
        sent = upTo;
    }
    if (!damaged)
        replies_[static_cast<std::size_t>(index)].push_back(
            {frame, startNs + line_.wireNs(static_cast<int>(frame.size()))});
}

} // namespace kv::fake
