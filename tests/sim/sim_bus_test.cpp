// Several sensors on one line, the address read and the faults of the bus.

#include "sim/bus.h"

#include <gtest/gtest.h>

using kvsim::Bytes;

namespace {

Bytes sealed(Bytes b) {
    uint16_t c = 0xFFFF; // bitwise, apart from the sim's table
    for (uint8_t x : b) {
        c ^= x;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
    }
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
    return b;
}

struct BusRig {
    explicit BusRig(kvsim::Options o) : options(std::move(o)), bus(options, 7) {}
    kvsim::Options options;
    kvsim::Bus bus;
};

kvsim::Options withAddresses(std::vector<int> addresses) {
    kvsim::Options o;
    o.addresses = std::move(addresses);
    o.moisture = 30;
    o.temperature = 22;
    return o;
}

} // namespace

TEST(SimBus, EachSensorAnswersItsOwnAddress) {
    BusRig rig(withAddresses({1, 37}));
    const Bytes r1 = rig.bus.answer(sealed({0x01, 0x03, 0x00, 0x02, 0x00, 0x01}));
    EXPECT_EQ(r1, sealed({0x01, 0x03, 0x02, 0x27, 0x10}));
    const Bytes r37 = rig.bus.answer(sealed({0x25, 0x03, 0x00, 0x02, 0x00, 0x01}));
    EXPECT_EQ(r37, sealed({0x25, 0x03, 0x02, 0x27, 0x10}));
    EXPECT_TRUE(rig.bus.answer(sealed({0x02, 0x03, 0x00, 0x02, 0x00, 0x01})).empty());
}

TEST(SimBus, AddressReadAnsweredByOneOrColliding) {
    const Bytes who = sealed({0xFA, 0x03, 0x00, 0x00, 0x00, 0x01});
    BusRig one(withAddresses({37}));
    EXPECT_EQ(one.bus.answer(who), sealed({0x25, 0x03, 0x02, 0x00, 0x25}));

    BusRig two(withAddresses({1, 37}));
    const Bytes wire = two.bus.answer(who);
    ASSERT_EQ(wire.size(), 7u);
    EXPECT_NE(wire, sealed({0x01, 0x03, 0x02, 0x00, 0x01}));
    EXPECT_NE(wire, sealed({0x25, 0x03, 0x02, 0x00, 0x25}));
    EXPECT_EQ(wire[0], 0x01 & 0x25) << "a 0 bit wins on the wire";

    kvsim::Options quiet = withAddresses({37});
    quiet.answerAddressRead = false;
    BusRig silent(quiet);
    EXPECT_TRUE(silent.bus.answer(who).empty());
    EXPECT_FALSE(silent.bus.answer(sealed({0x25, 0x03, 0x00, 0x00, 0x00, 0x02})).empty());
}

TEST(SimBus, ForgottenWriteIsAcknowledgedButNotStored) {
    kvsim::Options o = withAddresses({1});
    o.forgetWrites = true;
    BusRig rig(o);
    const Bytes write = sealed({0x01, 0x06, 0x0A, 0x08, 0x26, 0xD4});
    EXPECT_EQ(rig.bus.answer(write), write);
    EXPECT_EQ(rig.bus.answer(sealed({0x01, 0x03, 0x00, 0x06, 0x00, 0x01})),
              sealed({0x01, 0x03, 0x02, 0x27, 0x10}));
}
