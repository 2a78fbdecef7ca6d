// The field-number reader against a reference reading of the same grammar: any
// disagreement, not only a crash, stops the fuzzer.
#include "check.h"
#include "reference.h"

#include "modbus/fieldnum.h"

#include <cstdint>
#include <cstring>

namespace {

bool sameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool sameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void compare(const QString& text, const std::string& latin) {
    using namespace kv;
    FUZZ_CHECK(num::isNumeral(text) == ref::isNumeral(latin));

    const auto got = num::readNumber(text);
    const auto want = ref::readNumber(latin);
    FUZZ_CHECK(got.has_value() == want.has_value());
    if (got)
        FUZZ_CHECK(sameDouble(*got, *want));

    const auto gotSingle = num::readSingle(text);
    const auto wantSingle = ref::readSingle(latin);
    FUZZ_CHECK(gotSingle.has_value() == wantSingle.has_value());
    if (gotSingle)
        FUZZ_CHECK(sameFloat(*gotSingle, *wantSingle));

    if (!got) {
        FUZZ_CHECK(!num::floorOf(text) && !num::roundEven(text));
        return;
    }
    FUZZ_CHECK(num::roundEven(text) == ref::roundEven(*got));
    FUZZ_CHECK(num::floorOf(text) == ref::floorOf(*got));
    const auto byte = num::asByte(num::roundEven(text));
    const auto whole = ref::roundEven(*got);
    FUZZ_CHECK(byte.has_value() == (whole && *whole >= 0 && *whole <= 255));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reference's regular expression recurses per character; fields are short.
    if (size > 2048)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    compare(QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())), bytes);

    // The same bytes as UTF-8: anything beyond Latin-1 is never a number.
    const QString wide = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    bool latinOnly = true;
    for (const QChar c : wide)
        latinOnly = latinOnly && c.unicode() < 0x100;
    if (latinOnly) {
        const QByteArray latin = wide.toLatin1();
        compare(wide, std::string(latin.constData(), static_cast<size_t>(latin.size())));
    } else {
        FUZZ_CHECK(!kv::num::readNumber(wide) && !kv::num::isNumeral(wide));
    }
    return 0;
}
