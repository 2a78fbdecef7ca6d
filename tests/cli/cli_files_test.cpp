// The command line's files: the params file a sensor's settings are saved in and loaded
// from, and the trace's lines.

#include "cli/paramsfile.h"
#include "cli/trace.h"
#include "line/clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kv;
using namespace kv::cli;

TEST(CliParamsFile, WhatIsSavedIsLoadedBackAsItWas) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = QDir(dir.path()).filePath(QStringLiteral("sensor.json"));
    ParamsFile all;
    all.tool = QStringLiteral("kv7702r 0.1");
    all.saved = QStringLiteral("2026-12-08T22:20:59.165Z");
    all.port = QStringLiteral("/dev/serial/by-id/usb-\"odd\" name\\1");
    all.rate = 19200;
    all.format = QStringLiteral("8E1");
    all.address = 37;
    all.parameters = {{0, 10000}, {1, 1500}, {2, 10000}, {3, 0}, {4, 9940}, {5, 4939}, {6, 1}};
    ParamsFile two = all;
    two.parameters = {{4, 65535}, {5, 0}};
    for (const ParamsFile& f : {all, two}) {
        ASSERT_EQ(saveParamsFile(path, f), QString());
        const ParamsParsed back = loadParamsFile(path);
        ASSERT_TRUE(back.file) << back.error.toStdString();
        EXPECT_EQ(back.file->parameters, f.parameters);
        EXPECT_EQ(back.file->port, f.port);
        EXPECT_EQ(back.file->rate, f.rate);
        EXPECT_EQ(back.file->format, f.format);
        EXPECT_EQ(back.file->address, f.address);
        EXPECT_EQ(back.file->saved, f.saved);
        EXPECT_TRUE(back.file->savedByTool) << "what params save wrote is known for its backup";
    }
    // Readable as a person would look at it: one parameter a line, its value as the window shows it.
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(
        saved.readAll().contains("\n    \"la\": {\"register\": 6, \"raw\": 65535, \"value\": \"65535\"},\n"));
}

// Only a regular file is saved over or read: a pipe or a device would keep the tool waiting,
// holding the port, and what is refused is left as it was. nullptr: not asked.
TEST(CliParamsFile, OnlyARegularFileIsSavedOrRead) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fifo = QDir(dir.path()).filePath(QStringLiteral("pipe.json"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Row {
        QString path;
        const char* saving;
        const char* loading;
    };
    const char* notAFile = "not a regular file (a device or pipe?)";
    const Row rows[] = {
        {fifo, notAFile, notAFile},
        {QStringLiteral("/dev/null"), nullptr, notAFile},
        {dir.path(), "Filename refers to a directory", "a directory, not a params file"},
        {QDir(dir.path()).filePath(QStringLiteral("none/x.json")), "No such file or directory",
         "No such file or directory"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path.toStdString());
        if (r.saving) {
            EXPECT_EQ(saveParamsFile(r.path, ParamsFile{}).toStdString(), r.saving);
        }
        const ParamsParsed p = loadParamsFile(r.path);
        EXPECT_FALSE(p.file);
        EXPECT_EQ(p.error.toStdString(), r.loading);
    }
    EXPECT_FALSE(QFileInfo(fifo).isFile()) << "the pipe was replaced";
}

TEST(CliParamsFile, EveryFaultIsNamedAndNothingGuessed) {
    struct Row {
        const char* json;
        const char* error; // empty: read, with `raw` as la's value
        int raw;
    };
    const Row rows[] = {
        {R"({"kv7702r-params":1,"parameters":{"la":{"raw":9940}}})", "", 9940},
        {R"({"kv7702r-params":1,"parameters":{"la":{"value":"9940"}}})", "", 9940},
        {R"({"kv7702r-params":1,"parameters":{"la":{"raw":9940,"value":9940}}})", "", 9940},
        {R"({"kv7702r-params":1,"parameters":{"la":{"raw":9940,"value":"9941"}}})",
         "raw 9940 and value '9941' of la disagree (the value gives 9941); keep one", 0},
        {R"({"kv7702r-params":1,"parameters":{"la":{"raw":65536}}})",
         "raw of la is not a whole number 0-65535", 0},
        {R"({"kv7702r-params":1,"parameters":{"la":{"raw":99.5}}})",
         "raw of la is not a whole number 0-65535", 0},
        {R"({"kv7702r-params":1,"parameters":{"la":{"raw":"9940"}}})",
         "raw of la is not a whole number 0-65535", 0},
        {R"({"kv7702r-params":1,"parameters":{"la":{"value":"x"}}})",
         "value of la ('x') does not give a register value", 0},
        {R"({"kv7702r-params":1,"parameters":{"la":9940}})", "la is not an object with raw or value", 0},
        {R"({"kv7702r-params":1,"parameters":{"la":{}}})", "la has neither raw nor value", 0},
        {R"({"kv7702r-params":1,"parameters":{"4":{"raw":9940}}})", "unknown parameter \"4\"", 0},
        {R"({"kv7702r-params":1,"parameters":{"slope":{"raw":9940}}})", "unknown parameter \"slope\"", 0},
        {R"({"kv7702r-params":1,"parameters":{}})", "no \"parameters\" object with at least one parameter",
         0},
        {R"({"kv7702r-params":2,"parameters":{"la":{"raw":9940}}})",
         "params file version 2; this kv7702r reads version 1", 0},
        {R"({"kv7702r-params":1.0000000001,"parameters":{"la":{"raw":9940}}})",
         "params file version 1.0000000001; this kv7702r reads version 1", 0},
        {R"({"parameters":{"la":{"raw":9940}}})", "no \"kv7702r-params\": not a kv7702r params file", 0},
        {R"([1,2])", "not a JSON object", 0},
        // A key given twice is refused wherever it is, the two lines named; JSON keeps the last.
        {"{\"kv7702r-params\":1,\n\"parameters\":{\n\"la\":{\"raw\":9000},\n"
         "\"of\":{\"raw\":10},\n\"la\":{\"raw\":9940}}}",
         "\"la\" is given twice in \"parameters\", on lines 3 and 5; keep one", 0},
        {"{\"kv7702r-params\":1,\"parameters\":{\"la\":{\"raw\":9000,\n\"raw\":9940}}}",
         "\"raw\" is given twice in \"la\", on lines 1 and 2; keep one", 0},
        {"{\"kv7702r-params\":1,\"parameters\":{\"la\":{\"raw\":9940}},\n\n\"kv7702r-params\":1}",
         "\"kv7702r-params\" is given twice, on lines 1 and 3; keep one", 0},
        {R"({"kv7702r-params":1,"parameters":{"l\u0061":{"raw":9000},"la":{"raw":9940}}})",
         "\"la\" is given twice in \"parameters\", on lines 1 and 1; keep one", 0},
        // The same key in two objects, or a key's text as a value, is no key twice.
        {R"({"kv7702r-params":1,"tool":"la","saved":"{\"la\":1}","parameters":{"la":{"raw":9940}},"x":{"la":[{"la":1}]}})",
         "", 9940},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.json);
        const ParamsParsed p = parseParams(r.json);
        EXPECT_EQ(p.error.toStdString(), r.error);
        if (*r.error != 0) {
            EXPECT_FALSE(p.file);
            continue;
        }
        ASSERT_TRUE(p.file);
        ASSERT_EQ(p.file->parameters.size(), 1u);
        EXPECT_EQ(p.file->parameters[0], std::make_pair(4, static_cast<std::uint16_t>(r.raw)));
    }
    EXPECT_TRUE(parseParams("{\"kv7702r-params\":1,").error.startsWith(QStringLiteral("not JSON: ")));
}

// Found by the fuzzer: what a file gives, written back, reads back as it was, whatever its
// texts hold ("%1" in a format was once filled in with the address).
TEST(CliParamsFile, WhatIsSavedReadsBackAsItWas) {
    for (const char* text : {"8N1", "8N%1", "%2%4", "COM\"4\\", "串口%3"}) {
        SCOPED_TRACE(text);
        ParamsFile f;
        f.tool = f.saved = f.port = f.format = QString::fromUtf8(text);
        f.rate = 19200;
        f.address = 7;
        f.parameters = {{4, 9940}};
        const ParamsParsed back = parseParams(toJson(f));
        ASSERT_TRUE(back.file) << back.error.toStdString();
        EXPECT_EQ(back.file->port, f.port);
        EXPECT_EQ(back.file->format, f.format);
        EXPECT_EQ(back.file->tool, f.tool);
        EXPECT_EQ(back.file->address, 7);
        EXPECT_EQ(back.file->parameters, f.parameters);
    }
}

TEST(CliTrace, EachEventIsOneLineWithTimeDirectionVerdictAndBytes) {
    using E = line::LineEvent;
    // 2026-12-08T22:20:59.165Z on the wall clock when the line's clock read 5 s.
    const WallClock clock{5000000000, 1796768459165};
    struct Row {
        E event;
        const char* text;
        const char* json;
    };
    const QByteArray request = QByteArray::fromHex("010300000002C40B");
    const QByteArray reply = QByteArray::fromHex("0103040BB80898FE41");
    const Row rows[] = {
        {{E::Direction::Sent, E::Verdict::Request, line::timeAt(5000000000), request, 1, 0, std::nullopt},
         "2026-12-08T22:20:59.165Z tx request to 1: 01 03 00 00 00 02 C4 0B",
         R"({"time":"2026-12-08T22:20:59.165Z","dir":"tx","verdict":"request","address":1,"try":0,"latency_ms":null,"hex":"01 03 00 00 00 02 C4 0B"})"},
        {{E::Direction::Heard, E::Verdict::Answer, line::timeAt(5023100000), reply, 1, 0, Nanos(23140000)},
         "2026-12-08T22:20:59.188Z rx answer 23.1 ms: 01 03 04 0B B8 08 98 FE 41",
         R"({"time":"2026-12-08T22:20:59.188Z","dir":"rx","verdict":"answer","address":1,"try":0,"latency_ms":23.1,"hex":"01 03 04 0B B8 08 98 FE 41"})"},
        {{E::Direction::Ended, E::Verdict::Timeout, line::timeAt(6325000000), {}, 7, 2, std::nullopt},
         "2026-12-08T22:21:00.490Z -- timeout (retry 2) (address 7)",
         R"({"time":"2026-12-08T22:21:00.490Z","dir":"--","verdict":"timeout","address":7,"try":2,"latency_ms":null,"hex":""})"},
        {{E::Direction::Heard, E::Verdict::Other, line::timeAt(5000000000), reply, 2, 0, std::nullopt},
         "2026-12-08T22:20:59.165Z rx another address: 01 03 04 0B B8 08 98 FE 41",
         R"({"time":"2026-12-08T22:20:59.165Z","dir":"rx","verdict":"another address","address":2,"try":0,"latency_ms":null,"hex":"01 03 04 0B B8 08 98 FE 41"})"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(traceText(r.event, clock).toStdString(), r.text);
        EXPECT_EQ(traceJson(r.event, clock).toStdString(), r.json);
    }
}
