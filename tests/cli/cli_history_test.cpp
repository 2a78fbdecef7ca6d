// The history file: a sensor's life followed through its address changes, lines that are no
// entry skipped, and writes told in words.

#include "cli/history.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kv::cli;

namespace {

QJsonObject entry(const char* port, int address, const char* action, int newAddress = 0,
                  const char* moved = nullptr) {
    QJsonObject e{{"port", port}, {"address", address}, {"action", action}};
    if (newAddress) e.insert("newAddress", newAddress);
    if (moved) e.insert("moved", moved);
    return e;
}

} // namespace

// Entry k's "seq" is k, so that a life is told by the list of its entries.
TEST(CliHistory, ALifeGoesBackThroughTheChangesThatBroughtItThere) {
    std::vector<QJsonObject> all{
        entry("P", 1, "params set"),                 // 0: sensor A at 1
        entry("P", 1, "address set", 5, "yes"),      // 1: A moves to 5
        entry("P", 1, "params set"),                 // 2: sensor B, new at 1
        entry("P", 5, "address set", 9, "no"),       // 3: A stays at 5
        entry("P", 5, "calibrate"),                  // 4: A
        entry("Q", 5, "params set"),                 // 5: another bus
        entry("P", 1, "address set", 7, "unknown"),  // 6: B, nowhere known
        entry("P", 9, "address set", 11, "unknown"), // 7: nobody at 9 yet
    };
    for (std::size_t k = 0; k < all.size(); ++k)
        all[k].insert("seq", static_cast<int>(k));
    struct Row {
        const char* port;
        int address;
        std::vector<int> life;
    };
    const Row rows[] = {
        {"P", 5, {0, 1, 3, 4}}, {"P", 1, {2, 6}}, {"Q", 5, {5}}, {"P", 7, {}}, {"P", 9, {7}}, {"R", 5, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.port) + " " + std::to_string(row.address));
        std::vector<int> seqs;
        for (const QJsonObject& e : lifeOf(all, QString::fromLatin1(row.port), row.address))
            seqs.push_back(e.value("seq").toInt());
        EXPECT_EQ(seqs, row.life);
    }
    EXPECT_EQ(portsWith(all, 5), QStringList({"P", "Q"}));
    EXPECT_EQ(portsWith(all, 1), QStringList({"P"}));
    EXPECT_TRUE(portsWith(all, 200).isEmpty());
}

TEST(CliHistory, ALineThatIsNoEntryIsSkippedAndTheRestKept) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("sub/history.jsonl");
    ASSERT_TRUE(appendHistory(entry("P", 1, "params set"), path));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("{\"port\":\"P\",\"address\":1,\"act\n"); // cut by a crash mid-line
        f.write("[1,2,3]\n");
        f.write("{\"port\":\"P\",\"action\":\"params set\"}\n");
        f.write(QByteArray("\x00\xff\xfe garbage\n", 12));
        f.write("\n");
    }
    ASSERT_TRUE(appendHistory(entry("P", 1, "calibrate"), path));
    const HistoryFile h = readHistory(path);
    ASSERT_EQ(h.entries.size(), 2u);
    EXPECT_EQ(h.entries[1].value("action").toString(), "calibrate");
    ASSERT_EQ(h.skipped.size(), 4) << h.skipped.join("\n").toStdString();
    EXPECT_TRUE(h.skipped[0].contains("line 2 is no history entry")) << h.skipped[0].toStdString();
    EXPECT_TRUE(h.skipped[3].contains("line 5")) << h.skipped[3].toStdString();
    // A path that cannot be a file refuses, and says so.
    EXPECT_FALSE(appendHistory(entry("P", 1, "params set"), dir.path()));
    EXPECT_TRUE(readHistory(dir.filePath("none.jsonl")).entries.empty());
}

TEST(CliHistory, AWriteIsToldAsItEndedAndTheLastKnownValueFollowsIt) {
    struct Row {
        Written w;
        const char* says;
        std::optional<std::uint16_t> known;
    };
    const Row rows[] = {
        {{Written::Yes, 0, false, true, {9940}}, "la: 601 -> 9940, written, read back as 9940", 9940},
        {{Written::Yes, 0, true, false, {9940}},
         "la: 601 -> 9940, written, acknowledgement lost, read back as 9940",
         9940},
        {{Written::No, 3, true, false, {601}}, "la: 601 -> 9940, not written, read back as 601", 601},
        {{Written::No, 4, false, true, {602}},
         "la: 601 -> 9940, acknowledged but not kept, read back as 602",
         602},
        {{Written::No, 4, false, false, {}}, "la: 601 -> 9940, not written", 601},
        {{Written::Unknown, 3, false, false, {}},
         "la: 601 -> 9940, unknown: sent, but it could not be read back",
         std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.says);
        const QJsonObject w = writeRecord(4, 601, 9940, row.w);
        EXPECT_EQ(writeText(w).toStdString(), row.says);
        QJsonObject e = entry("P", 1, "params set");
        e.insert("writes", QJsonArray{w});
        const auto known = lastKnownParameters({e});
        ASSERT_EQ(known.count(4), 1u);
        EXPECT_EQ(known.at(4), row.known);
    }
}
