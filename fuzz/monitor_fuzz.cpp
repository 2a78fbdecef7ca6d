// Fuzzes the monitor's pairing and judging of line bytes: any bytes, in any chunks,
// between any requests, must give exchanges without reading outside a buffer.
// Build: cmake -S . -B build-fuzz -DKV_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ && cmake --build build-fuzz
// --target monitor_fuzz
#include "monitor/exchange.h"
#include "monitor/tracker.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv::mon::Tracker tracker;
    std::size_t rows = 0;
    tracker.onExchanges = [&](const std::vector<kv::mon::Exchange>& done) {
        for (const kv::mon::Exchange& ex : done) {
            (void)kv::mon::csvLine(ex);
            ++rows;
        }
    };
    // Each record: a control byte (bit 7: written by the tool, low bits: length), then
    // that many bytes.
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t control = data[i++];
        const std::size_t n = std::min<std::size_t>(control & 0x3F, size - i);
        const QByteArray bytes(reinterpret_cast<const char*>(data + i), static_cast<int>(n));
        i += n;
        if (control & 0x80)
            tracker.bytesWritten(bytes);
        else
            tracker.bytesArrived(bytes);
        if (control & 0x40) QCoreApplication::sendPostedEvents(&tracker);
    }
    tracker.finish();
    QCoreApplication::sendPostedEvents(&tracker);
    // A judged exchange of the raw input as request and reply.
    kv::mon::Exchange ex;
    ex.request =
        QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(std::min<std::size_t>(size, 8)));
    ex.reply = QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
    kv::mon::judge(ex);
    (void)kv::mon::statusText(ex);
    return 0;
}
