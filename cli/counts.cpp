#include "cli/counts.h"

namespace kv::cli {

void Counters::add(const line::Tally& t, bool withLate) {
    requests += t.requests;
    replies += t.replies;
    timeouts += t.timeouts;
    crcErrors += t.crcErrors;
    exceptions += t.exceptions;
    badReplies += t.badReplies;
    lost += t.lost;
    retries += t.retries;
    syncs += t.syncs;
    if (!withLate) return;
    late += t.lateTotal();
    noise += t.noise;
}

} // namespace kv::cli
