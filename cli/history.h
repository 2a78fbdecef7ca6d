#pragma once
// Each sensor's life: what params set, params load, address set and calibrate changed, kept
// as JSON lines in one append-only file per user, keyed by port and address; read back for
// kv7702r history and the commissioning certificate.

#include "cli/session.h"
#include "cli/verifiedwrite.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace kv::cli {

// The history file: $KV7702R_HISTORY, else history.jsonl in kv7702r's data folder.
[[nodiscard]] QString historyPath();
// The operator's name every entry carries: --operator, else $KV7702R_OPERATOR, else none.
void setHistoryOperator(const QString& name);

// An entry begun for the session's sensor: the time (UTC), the tool's version, the operator,
// the port, its rate and format, the address and what was done ("params set").
[[nodiscard]] QJsonObject historyEntry(const Session& s, const QString& action);
// A write as the entry keeps it: the parameter, what it held, what was sent, what was read back.
[[nodiscard]] QJsonObject writeRecord(int parameter, std::uint16_t before, std::uint16_t sent,
                                      const Written& w);
// Appends the entry as one line, flushed and synced; a file that refuses it is said on stderr
// (the sensor's change stands) and false returned.
bool appendHistory(const QJsonObject& entry, const QString& path = historyPath());

struct HistoryFile {
    std::vector<QJsonObject> entries; // in the file's order
    QStringList skipped;              // a line each that was no entry, said where
};
// The entries of the file; a missing file has none.
[[nodiscard]] HistoryFile readHistory(const QString& path);

// The entries of the sensor at `address` on `port` now, oldest first: back through each
// address change that brought it there, and none of a sensor that left that address before.
[[nodiscard]] std::vector<QJsonObject> lifeOf(const std::vector<QJsonObject>& entries, const QString& port,
                                              int address);
// The ports on which a sensor at `address` has a history, in the order first seen.
[[nodiscard]] QStringList portsWith(const std::vector<QJsonObject>& entries, int address);

// An entry as a block of readable lines.
[[nodiscard]] QString entryText(const QJsonObject& entry);
// One write in words: "la: 601 -> 9940, written, acknowledgement lost, read back as 9940".
[[nodiscard]] QString writeText(const QJsonObject& write);

// What a life says each parameter holds now: the raw value, or none where the last write's
// outcome is unknown.
[[nodiscard]] std::map<int, std::optional<std::uint16_t>>
lastKnownParameters(const std::vector<QJsonObject>& life);

} // namespace kv::cli
