// The params file reader (cli/paramsfile) over arbitrary bytes: it names a fault or gives a
// file whose parameters are each a known one at most once, in order; and what it gives,
// written back, reads back as the same.
#include "check.h"

#include "cli/paramsfile.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) // the loader refuses larger files
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const kv::cli::ParamsParsed got = kv::cli::parseParams(bytes);
    FUZZ_CHECK(got.file.has_value() == got.error.isEmpty());
    if (!got.file)
        return 0;
    const auto& p = got.file->parameters;
    FUZZ_CHECK(!p.empty() && p.size() <= 7);
    for (std::size_t k = 0; k < p.size(); ++k) {
        FUZZ_CHECK(p[k].first >= 0 && p[k].first < 7);
        FUZZ_CHECK(k == 0 || p[k - 1].first < p[k].first);
    }
    const kv::cli::ParamsParsed back = kv::cli::parseParams(kv::cli::toJson(*got.file));
    FUZZ_CHECK(back.file && back.file->parameters == p && back.file->port == got.file->port &&
               back.file->savedByTool == got.file->savedByTool);
    return 0;
}
