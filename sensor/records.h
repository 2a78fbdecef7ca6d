#pragma once
// How the command line and the monitor write down what they measured: a field of a CSV line
// and the percentile of response times, the same in both.

#include <QString>

#include <vector>

namespace kv::sensor {

// The text as one field of a CSV line: quoted, with its quotes doubled, when it holds a
// comma, a quote or a line break.
[[nodiscard]] QString csvField(const QString& text);

// Nearest rank: the smallest value with at least p % of the values at or below it. The
// values need not be sorted and must not be empty.
[[nodiscard]] double percentile(std::vector<double> values, double p);

} // namespace kv::sensor
