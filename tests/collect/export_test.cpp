// Exports of the kept readings: hourly values and ISMN's flags, the station files read back field
// by field, the time range, the CSV.

#include "collect/export.h"
#include "collect/spool.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <limits>

using namespace kv::collect;

namespace {

constexpr qint64 MINUTE = 60 * 1000;
// 2026-06-01T00:00Z.
const qint64 JUNE_1 = QDateTime(QDate(2026, 6, 1), QTime(0, 0), QTimeZone::utc()).toMSecsSinceEpoch();

// A record as the collector writes it: the reading's JSON with the sensor's bus, name, site, depth.
Record record(qint64 unixMs, const QString& moisture, const QString& status, const QString& more = {},
              const QString& sensor = "north/3") {
    Record r;
    r.unixMs = unixMs;
    r.sensor = sensor;
    r.ok = status == "ok";
    const QString values = moisture.isEmpty() ? QStringLiteral("null") : moisture;
    const QString temperature = moisture.isEmpty() ? QStringLiteral("null") : QStringLiteral("18.25");
    r.json =
        QStringLiteral("{\"time\":\"x\",\"port\":\"/dev/ttyUSB0\",\"address\":%1,\"moisture_percent\":%2,"
                       "\"temperature_celsius\":%3,\"latency_ms\":null,\"status\":\"%4\",\"bus\":\"%5\"%6}")
            .arg(sensor.section('/', 1))
            .arg(values, temperature, status, sensor.section('/', 0, 0), more)
            .toUtf8();
    r.influx = "soil m=1";
    return r;
}

ExportReading reading(qint64 unixMs, const QString& moisture, const QString& status,
                      const QString& more = {}) {
    QString why;
    const auto r = exportReading(record(unixMs, moisture, status, more), &why);
    EXPECT_TRUE(r) << why.toStdString();
    return r.value_or(ExportReading{});
}

TEST(ExportTest, HourlyValueIsTheNearestGoodReadingElseTheNearestFlagged) {
    struct In {
        int minute; // after 2026-06-01T00:00Z
        QString moisture, status, more = {};
    };
    struct Out {
        int hour;
        double value;
        QString flag;
    };
    struct Case {
        const char* what;
        IsmnVariable variable;
        std::vector<In> in;
        std::vector<Out> out;
    };
    const QString stuck = ",\"flags\":[\"stuck\"]";
    const QString jump = ",\"flags\":[\"jump\"]";
    const std::vector<Case> cases{
        {"nearest the hour, either side; hh:30 goes to the next",
         IsmnVariable::SoilMoisture,
         {{50, "20.00", "ok"}, {58, "21.00", "ok"}, {65, "22.00", "ok"}, {90, "23.00", "ok"}},
         {{1, 0.21, "G"}, {2, 0.23, "G"}}},
        {"a good reading wins over a nearer flagged one",
         IsmnVariable::SoilMoisture,
         {{0, "70.00", "implausible"}, {20, "25.00", "ok"}},
         {{0, 0.25, "G"}}},
        {"an hour with only flagged readings: ISMN's C and D flags",
         IsmnVariable::SoilMoisture,
         {{0, "-1.00", "implausible"}, {60, "120.00", "implausible"}, {120, "30.00", "ok", stuck}},
         {{0, -0.01, "C01"}, {1, 1.2, "C02"}, {2, 0.3, "D09"}}},
        {"a jump's flag has its sign",
         IsmnVariable::SoilMoisture,
         {{0, "30.00", "ok"}, {60, "10.00", "ok", jump}, {120, "40.00", "ok", jump}},
         {{0, 0.3, "G"}, {1, 0.1, "D07"}, {2, 0.4, "D08"}}},
        {"good by our status but beyond ISMN's 0.60",
         IsmnVariable::SoilMoisture,
         {{0, "65.00", "ok"}},
         {{0, 0.65, "C02"}}},
        {"no value, or stale: the hour is not written",
         IsmnVariable::SoilMoisture,
         {{0, "", "timeout"}, {60, "30.00", "ok", ",\"flags\":[\"stale\"]"}, {180, "", "port lost"}},
         {}},
        {"a temperature only from good readings",
         IsmnVariable::SoilTemperature,
         {{0, "70.00", "implausible"}, {60, "30.00", "ok"}},
         {{1, 18.25, "G"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HourlySeries series(c.variable);
        for (const In& in : c.in)
            series.add(reading(JUNE_1 + in.minute * MINUTE, in.moisture, in.status, in.more));
        const std::vector<HourValue> got = series.finish();
        ASSERT_EQ(got.size(), c.out.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].hourMs, JUNE_1 + c.out[i].hour * 60 * MINUTE) << i;
            EXPECT_NEAR(got[i].value, c.out[i].value, 1e-9) << i;
            EXPECT_EQ(got[i].flag, c.out[i].flag) << i;
        }
    }
}

class ExportSpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QString error;
        spool_ = Spool::open(dir_.filePath("spool.db"), {1000000, 0}, {"mqtt"}, &error);
        ASSERT_TRUE(spool_) << error.toStdString();
    }
    void append(std::vector<Record> rs) {
        QString error;
        ASSERT_TRUE(spool_->append(rs, &error)) << error.toStdString();
    }
    std::vector<ExportReading> readings(qint64 from = std::numeric_limits<qint64>::min(),
                                        qint64 to = std::numeric_limits<qint64>::max()) {
        std::vector<ExportReading> out;
        QString error;
        EXPECT_TRUE(spool_->readings(
            from, to,
            [&](const Record& r) {
                const auto e = exportReading(r, &error);
                EXPECT_TRUE(e) << error.toStdString();
                if (e) out.push_back(*e);
                return true;
            },
            &error));
        return out;
    }
    QTemporaryDir dir_;
    std::unique_ptr<Spool> spool_;
};

TEST_F(ExportSpoolTest, IsmnStationFilesReadBackFieldByField) {
    const QString field = ",\"name\":\"bed 1\",\"site\":\"north field\",\"depth_cm\":[10,20]";
    // Sent readings are exported too: the forwarder's acknowledgement leaves them in the spool.
    append({record(JUNE_1 - 2 * MINUTE, "23.45", "ok", field),
            record(JUNE_1 + 58 * MINUTE, "24.00", "ok", field),
            record(JUNE_1 + 23 * 60 * MINUTE + 59 * MINUTE, "", "timeout", field),
            record(JUNE_1 + 24 * 60 * MINUTE, "75.00", "implausible", field),
            // No depth in its readings: the configuration's.
            record(JUNE_1, "30.00", "ok", {}, "south/7"),
            // No depth anywhere: left out, and said.
            record(JUNE_1, "30.00", "ok", {}, "south/8")});
    QString error;
    ASSERT_TRUE(spool_->acknowledge("mqtt", {1, 2, 3, 4}, &error));

    IsmnOptions options;
    options.latitude = "47.50000";
    options.longitude = "-8.25000";
    options.elevation = "410.00";
    options.depthsCm["south/7"] = {5, 5};
    IsmnExport ismn(options);
    for (const ExportReading& r : readings())
        ismn.add(r);
    QStringList notes;
    const std::vector<IsmnFile> files = ismn.files(&notes);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes[0].startsWith("south/8: 1 reading(s) left out")) << notes[0].toStdString();

    struct Want {
        QString path;
        QStringList header;
        std::vector<QStringList> lines; // date, time, value, ISMN flag, provider flag
    };
    const std::vector<Want> want{
        {"KV7702R/north-field/"
         "KV7702R_KV7702R_north-field_sm_0.100000_0.200000_KV7702R-north-3_20260601_20260602.stm",
         {"KV7702R", "KV7702R", "north-field", "47.50000", "-8.25000", "410.00", "0.10", "0.20",
          "KV7702R-north-3"},
         {{"2026/06/01", "00:00", "0.2345", "G", "M"},
          {"2026/06/01", "01:00", "0.2400", "G", "M"},
          {"2026/06/02", "00:00", "0.7500", "C02", "M"}}},
        {"KV7702R/north-field/"
         "KV7702R_KV7702R_north-field_ts_0.100000_0.200000_KV7702R-north-3_20260601_20260601.stm",
         {"KV7702R", "KV7702R", "north-field", "47.50000", "-8.25000", "410.00", "0.10", "0.20",
          "KV7702R-north-3"},
         {{"2026/06/01", "00:00", "18.25", "G", "M"}, {"2026/06/01", "01:00", "18.25", "G", "M"}}},
        {"KV7702R/south/KV7702R_KV7702R_south_sm_0.050000_0.050000_KV7702R-south-7_20260601_20260601.stm",
         {"KV7702R", "KV7702R", "south", "47.50000", "-8.25000", "410.00", "0.05", "0.05", "KV7702R-south-7"},
         {{"2026/06/01", "00:00", "0.3000", "G", "M"}}},
    };
    std::map<QString, QByteArray> got;
    for (const IsmnFile& f : files)
        got[f.path] = f.text;
    EXPECT_EQ(got.size(), 4u); // south/7's temperature too
    for (const Want& w : want) {
        SCOPED_TRACE(w.path.toStdString());
        ASSERT_TRUE(got.count(w.path));
        const QStringList lines = QString::fromUtf8(got[w.path]).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), qsizetype(w.lines.size() + 1));
        EXPECT_EQ(lines[0].split(' '), w.header);
        for (size_t i = 0; i < w.lines.size(); ++i)
            EXPECT_EQ(lines[qsizetype(i + 1)].split(' '), w.lines[i]) << i;
    }
}

TEST_F(ExportSpoolTest, RangeTakesDaysAndTimesAndTheCsvHasEveryKeptReading) {
    struct Bound {
        const char* text;
        bool end;
        std::optional<qint64> at;
    };
    const std::vector<Bound> bounds{
        {"2026-06-01", false, JUNE_1},
        {"2026-06-01", true, JUNE_1 + 24 * 60 * MINUTE}, // the day included
        {"2026-06-01T12:00Z", false, JUNE_1 + 12 * 60 * MINUTE},
        {"2026-06-01T14:00:30+02:00", true, JUNE_1 + 12 * 60 * MINUTE + 30000},
        {"2026-06-01 12:00:00.250z", false, JUNE_1 + 12 * 60 * MINUTE + 250},
        {"2026-06-01T12:00", false, std::nullopt}, // no zone
        {"2026-02-30", false, std::nullopt},
        {"yesterday", false, std::nullopt},
        {"", false, std::nullopt},
    };
    for (const Bound& b : bounds)
        EXPECT_EQ(parseExportTime(b.text, b.end), b.at) << b.text << (b.end ? " (to)" : " (from)");

    append({record(JUNE_1 - 1, "20.00", "ok"),
            record(JUNE_1, "21.50", "ok",
                   ",\"name\":\"bed, \\\"one\\\"\",\"site\":\"north\",\"depth_cm\":[10,20]"),
            record(JUNE_1 + 24 * 60 * MINUTE - 1, "", "timeout"),
            record(JUNE_1 + 24 * 60 * MINUTE, "22.00", "ok")});
    const std::vector<ExportReading> june1 =
        readings(*parseExportTime("2026-06-01", false), *parseExportTime("2026-06-01", true));
    ASSERT_EQ(june1.size(), 2u);
    EXPECT_EQ(june1[0].seq, 2);
    EXPECT_EQ(june1[1].seq, 3);
    EXPECT_EQ(exportCsvHeader(),
              "seq,time,bus,address,name,site,depth_from_cm,depth_to_cm,moisture,temperature,status\n");
    EXPECT_EQ(exportCsvRow(june1[0]),
              "2,2026-06-01T00:00:00.000Z,north,3,\"bed, \"\"one\"\"\",north,10,20,21.5,18.25,ok\n");
    EXPECT_EQ(exportCsvRow(june1[1]), "3,2026-06-01T23:59:59.999Z,north,3,,,,,,,timeout\n");
}

// ISMN wants volumetric water content: a reading's calibrated moisture where it has one, its raw one
// otherwise; the CSV carries both, and the calibration's id.
TEST(ExportTest, TheCalibratedMoistureIsWhatIsmnGetsAndTheCsvCarriesIt) {
    struct Case {
        QString more;
        double ismn;
        QByteArray csvTail;
        bool carries;
    };
    const Case cases[] = {
        {",\"moisture_calibrated\":28.50,\"calibration\":\"plot3\"", 0.285, ",30,18.25,ok,28.5,plot3\n",
         true},
        {{}, 0.30, ",30,18.25,ok,,\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.more.toStdString());
        EXPECT_EQ(carriesCalibration(record(JUNE_1, "30.00", "ok", c.more)), c.carries);
        const ExportReading r = reading(JUNE_1, "30.00", "ok", c.more);
        HourlySeries series(IsmnVariable::SoilMoisture);
        series.add(r);
        const std::vector<HourValue> hours = series.finish();
        ASSERT_EQ(hours.size(), 1u);
        EXPECT_NEAR(hours[0].value, c.ismn, 1e-9);
        EXPECT_TRUE(exportCsvRow(r, true).endsWith(c.csvTail)) << exportCsvRow(r, true).toStdString();
    }
    EXPECT_TRUE(exportCsvHeader(true).endsWith(",status,moisture_calibrated,calibration\n"));
}

TEST(ExportTest, UnreadableJsonIsSaidNotTaken) {
    for (const QByteArray& json : {QByteArray("{\"address\":"), QByteArray("[1,2]"), QByteArray()}) {
        Record r;
        r.seq = 9;
        r.json = json;
        QString why;
        EXPECT_FALSE(exportReading(r, &why)) << json.constData();
        EXPECT_TRUE(why.startsWith("reading 9: ")) << why.toStdString();
    }
}

} // namespace
