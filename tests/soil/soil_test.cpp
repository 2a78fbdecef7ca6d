// The soil library: settings checked, a calibration fitted to samples, the derived values of
// worked examples, and the flags and alarms of scripted series of readings on a virtual clock.

#include "soil/alarms.h"
#include "soil/derived.h"
#include "soil/flags.h"
#include "soil/settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace kv::soil;

namespace {

SoilSettings soil(std::optional<double> fc, std::optional<double> wp, std::optional<double> rootZone = {}) {
    SoilSettings s;
    s.fieldCapacity = fc;
    s.wiltingPoint = wp;
    s.rootZoneCm = rootZone;
    return s;
}

} // namespace

// Worked examples: FAO-56's loam, a sandy loam, a clay above field capacity, a refill point from
// an allowed depletion, and a calibrated reading.
TEST(Soil, DerivedValuesMatchWorkedExamples) {
    struct Row {
        const char* what;
        SoilSettings s;
        double raw;
        double moisture, relativeWater, deficitMm;
        std::optional<double> refill;
    };
    SoilSettings half = soil(30, 15, 60);
    half.allowedDepletion = 0.5; // the readily available water of FAO-56: half of 90 mm
    SoilSettings deep = soil(30, 15, 120);
    deep.allowedDepletion = 0.8;
    SoilSettings calibrated = soil(30, 15, 60);
    calibrated.calibration = Calibration{QStringLiteral("loam-1"), QDate(2026, 4, 1), 2.0, 0.8, 0.0};
    const Row rows[] = {
        {"loam, FAO-56 style", soil(30, 15, 60), 22, 22, 0.4667, 48.0, std::nullopt},
        {"sandy loam", soil(18, 8, 30), 12, 12, 0.4, 18.0, std::nullopt},
        {"clay above field capacity: not clamped", soil(40, 20, 100), 45, 45, 1.25, -50.0, std::nullopt},
        {"below the wilting point: not clamped", soil(30, 15, 60), 12, 12, -0.2, 108.0, std::nullopt},
        {"refill at 50 % depletion: the deficit there is 45 mm", half, 22.5, 22.5, 0.5, 45.0, 22.5},
        {"refill at 80 % depletion, deep roots", deep, 18, 18, 0.2, 144.0, 18.0},
        {"calibrated: 2 + 0.8 * 25 = 22", calibrated, 25, 22, 0.4667, 48.0, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(row.s.check().isEmpty()) << row.s.check().join(QLatin1Char('\n')).toStdString();
        const Derived d = derive(row.s, row.raw);
        EXPECT_NEAR(d.moisture, row.moisture, 1e-9);
        EXPECT_EQ(d.calibrated.has_value(), row.s.calibration.has_value());
        ASSERT_TRUE(d.relativeWater && d.deficitMm);
        EXPECT_NEAR(*d.relativeWater, row.relativeWater, 5e-5);
        EXPECT_NEAR(*d.deficitMm, row.deficitMm, 1e-9);
        EXPECT_EQ(row.s.refillPoint().has_value(), row.refill.has_value());
        if (row.refill) {
            EXPECT_NEAR(*row.s.refillPoint(), *row.refill, 1e-9);
        }
    }
    // Without what they need, the values are absent rather than made up.
    const Derived bare = derive(soil(30, std::nullopt), 22);
    EXPECT_FALSE(bare.relativeWater || bare.deficitMm);
}

TEST(Soil, SettingsThatDoNotHoldTogetherAreToldWhy) {
    struct Row {
        const char* what;
        SoilSettings s;
        const char* says; // empty: sound
    };
    SoilSettings refillAbove = soil(30, 15);
    refillAbove.refill = 31;
    SoilSettings refillBelow = soil(30, 15);
    refillBelow.refill = 14;
    SoilSettings both = soil(30, 15);
    both.refill = 22;
    both.allowedDepletion = 0.5;
    SoilSettings depletionAlone = soil(std::nullopt, std::nullopt);
    depletionAlone.allowedDepletion = 0.5;
    SoilSettings depletionWhole = soil(30, 15);
    depletionWhole.allowedDepletion = 1.0;
    SoilSettings sound = soil(30, 15, 40);
    sound.refill = 22;
    const Row rows[] = {
        {"sound", sound, ""},
        {"wilting point above field capacity", soil(15, 30),
         "the wilting point (30 %) must lie below the field "
         "capacity (15 %)"},
        {"field capacity beyond 100", soil(130, 15),
         "the field capacity (130 %) is a volumetric water content "
         "between 0 and 100 %"},
        {"negative wilting point", soil(30, -1), "the wilting point (-1 %) is a volumetric"},
        {"not a number", soil(std::nan(""), 15), "the field capacity (nan %) is a volumetric"},
        {"refill above field capacity", refillAbove,
         "the refill point (31 %) must lie between the wilting point"},
        {"refill below wilting point", refillBelow, "the refill point (14 %) must lie between"},
        {"refill and depletion both", both, "give the refill point or the allowed depletion, not both"},
        {"depletion without the soil", depletionAlone, "the allowed depletion needs the field capacity"},
        {"depletion of all the water", depletionWhole, "the allowed depletion (1) is a fraction"},
        {"root zone of nothing", soil(30, 15, 0), "the root zone (0 cm) is a depth above 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QString why = row.s.check().join(QLatin1Char('\n'));
        if (*row.says == '\0') {
            EXPECT_TRUE(why.isEmpty()) << why.toStdString();
        } else {
            EXPECT_TRUE(why.contains(QLatin1String(row.says))) << why.toStdString();
        }
    }
}

// Least squares against sums worked by hand, exact data recovered, and too few samples refused.
TEST(Soil, CalibrationIsFittedToGravimetricSamples) {
    struct Row {
        const char* what;
        std::vector<SamplePair> samples;
        int degree;
        double a, b, c;
        std::vector<double> residuals;
        const char* refused; // empty: fitted
    };
    const double third = 1.0 / 3.0, sixth = 1.0 / 6.0;
    const Row rows[] = {
        {"a line by hand: y = 1/6 + x/2",
         {{0, 0}, {1, 1}, {2, 1}},
         1,
         sixth,
         0.5,
         0,
         {-sixth, third, -sixth},
         ""},
        {"an exact line", {{10, 10.5}, {20, 19.5}, {40, 37.5}, {60, 55.5}}, 1, 1.5, 0.9, 0, {0, 0, 0, 0}, ""},
        {"an exact parabola",
         {{10, 2 + 0.5 * 10 + 0.01 * 100},
          {20, 2 + 0.5 * 20 + 0.01 * 400},
          {35, 2 + 0.5 * 35 + 0.01 * 1225},
          {50, 2 + 0.5 * 50 + 0.01 * 2500}},
         2,
         2,
         0.5,
         0.01,
         {0, 0, 0, 0},
         ""},
        {"a line fitted as a parabola",
         {{10, 10.5}, {20, 19.5}, {40, 37.5}, {60, 55.5}},
         2,
         1.5,
         0.9,
         0,
         {0, 0, 0, 0},
         ""},
        {"a parabola by hand through four points",
         {{0, 0}, {1, 1}, {2, 4}, {3, 10}},
         2,
         0.05,
         -0.45,
         1.25,
         {-0.05, 0.15, -0.15, 0.05},
         ""},
        {"one raw value twice", {{20, 18}, {20, 19}}, 1, 0, 0, 0, {}, "samples at 2 different raw values"},
        {"two points for a parabola", {{10, 8}, {30, 25}}, 2, 0, 0, 0, {}, "a quadratic calibration needs"},
        {"degree three",
         {{10, 8}, {20, 16}, {30, 25}, {40, 31}},
         3,
         0,
         0,
         0,
         {},
         "linear (1) or quadratic (2)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QString why;
        const std::optional<CalibrationFit> fit = fitCalibration(row.samples, row.degree, why);
        if (*row.refused != '\0') {
            EXPECT_FALSE(fit);
            EXPECT_TRUE(why.contains(QLatin1String(row.refused))) << why.toStdString();
            continue;
        }
        ASSERT_TRUE(fit) << why.toStdString();
        EXPECT_NEAR(fit->calibration.a, row.a, 1e-9);
        EXPECT_NEAR(fit->calibration.b, row.b, 1e-9);
        EXPECT_NEAR(fit->calibration.c, row.c, 1e-9);
        if (row.c == 0) {
            EXPECT_EQ(fit->calibration.c, 0.0) << "rounding left in c";
        }
        ASSERT_EQ(fit->residuals.size(), row.residuals.size());
        double squares = 0;
        for (std::size_t i = 0; i < row.residuals.size(); ++i) {
            EXPECT_NEAR(fit->residuals[i], row.residuals[i], 1e-9) << i;
            squares += row.residuals[i] * row.residuals[i];
        }
        EXPECT_NEAR(fit->rms, std::sqrt(squares / static_cast<double>(row.residuals.size())), 1e-9);
    }
}

// Each flag on a scripted series: the readings that carry flags, every other reading none.
TEST(Soil, ReadingsAreFlaggedNeverRemoved) {
    struct Row {
        const char* what;
        FlagOptions o;
        std::vector<Sample> series;
        std::map<int, const char*> flagged; // reading index -> its flags, comma-joined
    };
    const auto good = [](qint64 ms, double m, double t = 20, qint64 period = 1000) {
        return Sample{ms, true, false, m, t, period};
    };
    const auto failed = [](qint64 ms, qint64 period = 1000) {
        return Sample{ms, false, false, std::nullopt, std::nullopt, period};
    };
    std::vector<Sample> stuck;
    std::vector<Sample> still;
    for (int i = 0; i < 22; ++i) {
        stuck.push_back(good(i * 1000, 30.0, 20.0 + 0.1 * i));
        still.push_back(good(i * 1000, 30.0, 20.0));
    }
    FlagOptions stuckAfter5;
    stuckAfter5.stuckAfter = 5;
    FlagOptions jump5;
    jump5.jumpPoints = 5;
    const Row rows[] = {
        {"stale after three failures in a row",
         {},
         {good(0, 20), failed(1000), failed(2000), failed(3000), failed(4000), good(5000, 20)},
         {{3, "stale"}, {4, "stale"}}},
        {"stale after three periods without a good reading", {}, {good(0, 20), failed(3000)}, {{1, "stale"}}},
        {"stale from the start, as fast as replies come",
         {},
         {failed(0, 0), failed(10, 0), failed(20, 0)},
         {{2, "stale"}}},
        {"stuck from the 20th reading while the temperature moves",
         {},
         stuck,
         {{19, "stuck"}, {20, "stuck"}, {21, "stuck"}}},
        {"not stuck in still weather", {}, still, {}},
        {"stuck after 5 once the temperature moved half a degree",
         stuckAfter5,
         {good(0, 30, 20), good(1000, 30, 20.2), good(2000, 30, 20.3), good(3000, 30, 20.4),
          good(4000, 30, 20.5), good(5000, 30.01, 21)},
         {{4, "stuck"}}},
        {"implausible is the reading's own",
         {},
         {good(0, 20), Sample{1000, false, true, 120.0, 20.0, 1000}, good(2000, 21)},
         {{1, "implausible"}}},
        {"a jump of 20 points within one period, and back",
         {},
         {good(0, 20), good(1000, 40), good(2000, 20)},
         {{1, "jump"}, {2, "jump"}}},
        {"15 points is no jump", {}, {good(0, 20), good(1000, 35)}, {}},
        {"20 points over three periods is no jump", {}, {good(0, 20), good(3000, 40)}, {}},
        {"a jump past a failed reading", jump5, {good(0, 20), failed(1000), good(2000, 31)}, {{2, "jump"}}},
        {"a stale sensor back with another value",
         jump5,
         {good(0, 20), failed(1000), failed(2000), failed(3000), good(4000, 21)},
         {{3, "stale"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QualityTracker t(row.o);
        for (std::size_t i = 0; i < row.series.size(); ++i) {
            const auto want = row.flagged.find(static_cast<int>(i));
            EXPECT_EQ(t.feed(row.series[i]).join(QLatin1Char(',')).toStdString(),
                      want == row.flagged.end() ? "" : want->second)
                << "reading " << i;
        }
    }
}

// Each alarm on a virtual clock (minutes): raised only once its condition held for 10 min,
// cleared only once the moisture is back past the threshold by 1 point for as long.
TEST(Soil, AlarmsHoldForAtLeastAndClearWithHysteresis) {
    struct Step {
        int minute;
        std::optional<double> moisture;
        const char* flags = "";
        bool watered = false;                      // told just before this reading
        std::optional<double> from = std::nullopt; // the moisture the watering should rise from, as told
    };
    struct Row {
        const char* what;
        std::vector<Step> steps;
        const char* events;    // "minute+name" raised, "minute-name" cleared, space-separated
        bool awaiting = false; // a rise still awaited after the last step
    };
    const Row rows[] = {
        {"dry once below refill for 10 min", {{0, 25}, {10, 21}, {15, 21}, {20, 21}, {25, 20}}, "20+dry"},
        {"a dip shorter than 10 min raises nothing", {{0, 21}, {5, 21}, {9, 23}, {12, 21}, {21, 21.9}}, ""},
        {"a reading without a value keeps the timer", {{0, 21}, {5, std::nullopt}, {10, 21}}, "10+dry"},
        {"dry clears only 1 point above refill, held 10 min",
         {{0, 21}, {10, 21}, {20, 22.5}, {40, 22.9}, {50, 23}, {55, 22.5}, {60, 23.1}, {70, 23.2}},
         "10+dry 70-dry"},
        {"waterlogged above field capacity, cleared below 29",
         {{0, 31}, {10, 32}, {20, 29.5}, {40, 29}, {45, 28}, {50, 28}},
         "10+waterlogged 50-waterlogged"},
        {"stale flagged 10 min, then good 10 min",
         {{0, std::nullopt, "stale"},
          {5, std::nullopt, "stale"},
          {10, std::nullopt, "stale"},
          {11, 25},
          {21, 25}},
         "10+stale 21-stale"},
        {"stuck flagged, broken by one sound reading",
         {{0, 25, "stuck"}, {8, 25}, {9, 25, "stuck"}, {19, 25, "stuck"}},
         "19+stuck"},
        {"no rise within 2 h of watering, then the rise",
         {{0, 24}, {60, 24.5, "", true}, {120, 24.5}, {180, 24.8}, {185, 25.2}, {300, 24}},
         "180+no_rise 185-no_rise"},
        {"a rise in time raises nothing", {{0, 24}, {1, 24, "", true}, {30, 25.5}, {300, 24}}, ""},
        {"the rise awaited until it comes or the window ends",
         {{0, 24}, {1, 24, "", true}, {120, 24.9}},
         "",
         true},
        {"awaited from the moisture told, not the first reading", {{0, 25.1, "", true, 24}, {121, 25.1}}, ""},
        {"awaited from the moisture told, not the last reading",
         {{0, 20}, {1, 20, "", true, 23}, {121, 23.5}},
         "121+no_rise",
         true},
    };
    SoilSettings s = soil(30, 15);
    s.refill = 22;
    AlarmOptions o;
    o.forAtLeastMs = 10 * 60000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Alarms alarms(s, o);
        QStringList told;
        for (const Step& step : row.steps) {
            const qint64 ms = step.minute * 60000LL;
            if (step.watered) alarms.watered(ms, step.from);
            const QStringList flags =
                QString::fromLatin1(step.flags).split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (const AlarmEvent& e : alarms.feed(ms, step.moisture, flags)) {
                EXPECT_EQ(e.ms, ms);
                EXPECT_EQ(alarms.active(e.kind), e.raised);
                told << QString::number(step.minute) + (e.raised ? QLatin1Char('+') : QLatin1Char('-')) +
                            alarmName(e.kind);
            }
        }
        EXPECT_EQ(told.join(QLatin1Char(' ')).toStdString(), row.events);
        EXPECT_EQ(alarms.awaitingRise(), row.awaiting);
    }
}

// An alarm raised in an earlier run and restored: nothing told of it, and cleared as if raised here.
TEST(Soil, ARestoredAlarmIsToldNothingAndClearsAsBefore) {
    struct Row {
        AlarmKind kind;
        double value;                              // the moisture when it was raised
        std::vector<std::pair<int, double>> steps; // minute, moisture
        const char* events;
    };
    const Row rows[] = {
        {AlarmKind::Dry, 21, {{0, 21}, {10, 22.5}, {20, 23.5}, {30, 23.5}}, "30-dry"},
        {AlarmKind::Stuck, 25, {{0, 25}, {5, 25}, {10, 25}}, "10-stuck"},
        {AlarmKind::NoRise, 24, {{0, 24.5}, {600, 24.9}, {601, 25}}, "601-no_rise"},
    };
    SoilSettings s = soil(30, 15);
    s.refill = 22;
    AlarmOptions o;
    o.forAtLeastMs = 10 * 60000;
    for (const Row& row : rows) {
        SCOPED_TRACE(alarmName(row.kind).toStdString());
        Alarms alarms(s, o);
        alarms.restore(row.kind, -60 * 60000, row.value);
        EXPECT_TRUE(alarms.active(row.kind));
        QStringList told;
        for (const auto& [minute, moisture] : row.steps)
            for (const AlarmEvent& e : alarms.feed(minute * 60000LL, moisture, {}))
                told << QString::number(minute) + (e.raised ? QLatin1Char('+') : QLatin1Char('-')) +
                            alarmName(e.kind);
        EXPECT_EQ(told.join(QLatin1Char(' ')).toStdString(), row.events);
    }
}

TEST(Soil, AnAlarmSaysWhatHappenedInWords) {
    SoilSettings s = soil(30, 15);
    s.allowedDepletion = 0.5;
    AlarmOptions o;
    o.forAtLeastMs = 0;
    Alarms alarms(s, o);
    const std::vector<AlarmEvent> raised = alarms.feed(0, 21.5, {});
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].text.toStdString(),
              "dry raised: moisture 21.50 % below the refill point 22.50 % for 0 s");
    ASSERT_TRUE(raised[0].value);
    EXPECT_EQ(*raised[0].value, 21.5);
}
