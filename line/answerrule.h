#pragma once
// What a try makes of what it hears: the rule of a request, which takes one answer from the
// device asked, or of the address read, which keeps every device's answer to the end of its
// window. Chosen once for a request; each of its tries asks it.

#include "line/attempt.h"

namespace kv::line {

// What a sound frame heard while the answer is awaited means to the try.
enum class Meaning {
    NotIt,         // not this try's: late, or another device's
    Held,          // a reply a held request could have drawn: late, and maybe the end of a resync
    Answer,        // the answer, surely this try's
    HeldException, // an exception a held request could have drawn too: taken, its latency unknown
    Unsure,        // the answer, from a device that may still owe an earlier run: wait for its quiet
    MaybeEcho,     // a write's answer, or the adapter's copy of the write: wait for a second copy
    GatewayGaveUp, // a gateway's exception: its device did not answer
    Kept,          // a device's answer to the address read
    KeptUnsure,    // the same from a device that may still owe an earlier run: kept once it is quiet
    Again,         // a device that answered the address read answers again: late
};

// A frame judged once; the verdict goes along with it.
struct Judged {
    Meaning meaning = Meaning::NotIt;
    sensor::Reply reply;
};

class AnswerRule {
public:
    virtual ~AnswerRule() = default;
    // Held requests could draw an answer the request would take: it must be told apart first.
    [[nodiscard]] virtual bool blocked(PendingReplies& pending, const sensor::Expectation& request,
                                       TimePoint now) const = 0;
    // How long after the request its answer is listened for.
    [[nodiscard]] virtual Nanos window(Millis timeout, Millis grace) const = 0;
    // A frame from `sender` may answer `expect`.
    [[nodiscard]] virtual bool from(std::uint8_t sender, const sensor::Expectation& expect) const = 0;
    // How a sound frame from `sender` that is not taken is told.
    [[nodiscard]] virtual LineEvent::Verdict notTaken(std::uint8_t sender,
                                                      const sensor::Expectation& expect) const = 0;
    // Bytes of the answer's length and shape but for its address or function, from a device
    // that owes nothing: the answer, damaged.
    [[nodiscard]] virtual bool damaged(const Attempt& a, const QByteArray& bytes) const = 0;
    [[nodiscard]] virtual Judged judge(const Attempt& a, const QByteArray& frame, TimePoint at) const = 0;
    // A reply of the answer's shape came garbled.
    virtual void garbled(Attempt& a, const QByteArray& bytes, TimePoint at) const = 0;
    // The window is over.
    virtual void over(Attempt& a, TimePoint now) const = 0;
};

// The rule of the request: the address read's when it collects.
[[nodiscard]] const AnswerRule& ruleFor(const Request& request);

} // namespace kv::line
