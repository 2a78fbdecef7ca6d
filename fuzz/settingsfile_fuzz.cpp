// The window's comm.set reader (setup/) against a model of the file format written from its description,
// with the reference number reading: values in order, port first, separated by a comma
// or a line end, blank lines skipped, not-a-number reads 0, beyond 16 bits stops.
#include "check.h"
#include "reference.h"

#include "serial/settingsfile.h"

#include <cstdint>

namespace {

struct Model {
    std::optional<int> port, rate;
};

Model model(const std::string& s) {
    Model m;
    std::size_t pos = 0;
    for (int taken = 0; taken < 2;) {
        pos = s.find_first_not_of("\r\n", pos);
        if (pos == std::string::npos)
            break;
        const std::size_t end = std::min(s.find_first_of(",\r\n", pos), s.size());
        const std::string token = s.substr(pos, end - pos);
        pos = end < s.size() && s[end] == ',' ? end + 1 : end;
        int value = 0;
        if (kv::ref::isNumeral(token)) {
            const auto v = kv::ref::readNumber(token);
            const auto whole = v ? kv::ref::roundEven(*v) : std::nullopt;
            if (!whole || *whole < -32768 || *whole > 32767)
                break;
            value = static_cast<int>(*whole);
        }
        (taken++ == 0 ? m.port : m.rate) = value;
    }
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) // the reader never sees more
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const kv::CommSetValues got = kv::parseCommSet(QByteArray(bytes.data(), static_cast<qsizetype>(size)));
    FUZZ_CHECK(got.opened);
    FUZZ_CHECK(!got.rate || got.port); // the port comes first
    const Model want = model(bytes);
    FUZZ_CHECK(got.port == want.port);
    FUZZ_CHECK(got.rate == want.rate);

    // What a save writes for these values reads back as the same values.
    if (got.complete()) {
        const QByteArray line = QByteArray::number(*got.port) + ',' + QByteArray::number(*got.rate) + "\r\n";
        const kv::CommSetValues back = kv::parseCommSet(line);
        FUZZ_CHECK(back.port == got.port && back.rate == got.rate);
    }
    return 0;
}
