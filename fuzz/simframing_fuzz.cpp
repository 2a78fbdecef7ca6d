// The virtual sensor's framing and answers. The input is a script of line events:
// well-formed requests (read, write, address change, write-multiple), garbage, and
// silences longer than the frame gap, delivered in pieces at times the input picks.
// Whatever comes, every frame the assembler yields carries a valid CRC and came off the
// line; a burst of well-formed requests after a silence yields exactly those requests,
// once each, in order (garbage never poisons what follows a silence); and every frame
// addressed to the sensor is answered once with a reply of its own address and a valid
// CRC, while broadcasts and frames for other devices are not.
#include "check.h"

#include "sim/rtu.h"
#include "sim/sensor.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using kvsim::Bytes;

Bytes wellFormedRequest(Script& in, uint8_t own) {
    const uint8_t pick = in.next();
    // Mostly the sensor's own address, sometimes a broadcast, the who-is-there address or another.
    const uint8_t address = pick % 4 == 0 ? own : pick % 4 == 1 ? in.next() : pick % 4 == 2 ? 0 : 250;
    Bytes frame{address};
    switch ((pick >> 2) % 5) {
    case 0:
        frame.push_back(0x03);
        break;
    case 1:
        frame.push_back(0x04);
        break;
    case 2:
        frame.push_back(0x06);
        break;
    case 3: { // any other code
        const uint8_t code = in.next();
        frame.push_back(code == 0x10 ? 0x11 : code);
        break;
    }
    case 4: {
        const uint8_t count = in.next() % 8;
        frame.insert(frame.end(), {0x10, in.next(), in.next(), 0x00, count, static_cast<uint8_t>(2 * count)});
        for (int i = 0; i < 2 * count; ++i)
            frame.push_back(in.next());
        kvsim::appendCrc(frame);
        return frame;
    }
    }
    if ((pick >> 5) == 1) { // an address change
        frame[1] = 0x06;
        frame.insert(frame.end(), {0x0B, 0x00, 0x00, in.next()});
    } else {
        for (int i = 0; i < 4; ++i)
            frame.push_back(in.next());
    }
    kvsim::appendCrc(frame);
    return frame;
}

bool contains(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script in(data, size);
    kvsim::SensorSetup setup;
    setup.address = static_cast<uint8_t>(1 + in.next() % 247);
    setup.moisture = 25.0;
    setup.temperature = 21.5;
    setup.echoAddressChange = in.next() & 1;
    kvsim::Sensor sensor(setup);

    kvsim::FrameAssembler assembler;
    const int64_t gap = assembler.gapUs();
    int64_t now = 0;

    Bytes burst;                // every byte since the last silence
    bool clean = true;          // the burst holds only well-formed requests so far
    std::vector<Bytes> sent;    // the well-formed requests of the burst
    std::vector<Bytes> yielded; // the frames the assembler gave for the burst

    const auto deliver = [&](const Bytes& bytes) {
        // In pieces, each after a pause of at most the gap: still one frame on the line.
        size_t at = 0;
        while (at < bytes.size()) {
            const uint8_t how = in.next();
            const size_t n = std::min<size_t>(bytes.size() - at, 1 + how % 9);
            now += (how >> 4) == 15 ? gap : (how >> 4) * 100;
            for (Bytes& f : assembler.feed(bytes.data() + at, n, now)) {
                FUZZ_CHECK(kvsim::crcValid(f));
                yielded.push_back(std::move(f));
            }
            burst.insert(burst.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
            at += n;
        }
    };

    const auto answer = [&](const Bytes& request) {
        const uint8_t own = sensor.address();
        const Bytes reply = kvsim::respond(request, sensor);
        const uint8_t target = request[0];
        const bool forUs = target == own || (target == 250 && request[1] == 0x03);
        FUZZ_CHECK(reply.empty() != forUs);
        if (!reply.empty()) {
            FUZZ_CHECK(kvsim::crcValid(reply));
            FUZZ_CHECK(reply[0] == own);
        }
    };

    const auto endBurst = [&] {
        for (const Bytes& f : yielded) {
            FUZZ_CHECK(contains(burst, f));
            answer(f);
        }
        if (clean)
            FUZZ_CHECK(yielded == sent);
        burst.clear();
        sent.clear();
        yielded.clear();
        clean = true;
    };

    while (!in.done()) {
        const uint8_t op = in.next();
        switch (op % 4) {
        case 0:
        case 1: {
            Bytes request = wellFormedRequest(in, sensor.address());
            sent.push_back(request);
            deliver(request);
            break;
        }
        case 2: {
            Bytes junk(1 + op / 4 % 16);
            for (uint8_t& b : junk)
                b = in.next();
            clean = false;
            deliver(junk);
            break;
        }
        case 3:
            endBurst();
            now += gap + 1 + op;
            if (op & 0x80)
                assembler.expire(now);
            break;
        }
    }
    endBurst();
    return 0;
}
