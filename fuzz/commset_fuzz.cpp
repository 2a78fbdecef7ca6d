// comm.set is a file anyone can edit: whatever it holds, the reader returns a port and a
// rate that fit 16 bits, or says the file is unusable.

#include "cli/session.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kv::cli::CommSet c =
        kv::cli::parseCommSet(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (c.found && (c.port < -32768 || c.port > 32767 || c.rate < -32768 || c.rate > 32767)) std::abort();
    return 0;
}
