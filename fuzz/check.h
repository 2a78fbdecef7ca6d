#pragma once
// Invariants of the fuzz targets: a broken one says which and aborts, so libFuzzer
// keeps the input as a crash. And the reader that turns an input into a script.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "Invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// The fuzzer's input read front to back as a script; past its end it reads as zeros.
class Script {
public:
    Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ >= end_; }
    uint8_t next() { return p_ < end_ ? *p_++ : 0; }
    // The next n bytes, or as many as are left.
    std::pair<const uint8_t*, size_t> take(size_t n) {
        n = std::min<size_t>(n, static_cast<size_t>(end_ - p_));
        const uint8_t* at = p_;
        p_ += n;
        return {at, n};
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};
