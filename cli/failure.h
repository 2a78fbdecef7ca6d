#pragma once
// Why a request went without its answer, in the operator's words: the line discipline tells
// the kind, the command line words it.

#include "line/exchange.h"

#include <QString>

namespace kv::cli {

// One line: why it failed, or the device's exception; empty for an answer, or a listen.
[[nodiscard]] QString describe(const line::Exchange& exchange);

} // namespace kv::cli
