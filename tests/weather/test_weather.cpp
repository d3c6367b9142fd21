#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "utilities.h"
#include "weather/NmeaWeather.h"
#include "weather/WeatherMinute.h"
#include "weather/WeatherStore.h"

namespace {

// The sentence with its correct checksum.
std::string signedSentence(const std::string& body) {
    char sum[4];
    std::snprintf(sum, sizeof sum, "%02X", nmeaChecksum(body));
    return "$" + body + "*" + sum;
}

// A sentence's status and each quantity it gives ("mda P": MDA's pressure,
// which does not say whether it is the station's or reduced to sea level).
std::string shown(const std::string& sentence) {
    const NmeaResult r = parseNmeaSentence(sentence);
    const WeatherSample& s = r.sample;
    std::string out = nmeaStatusName(r.status);
    const auto add = [&](bool has, const char* label, double value) {
        char one[32];
        std::snprintf(one, sizeof one, " %s %.2f", label, value);
        if (has) out += one;
    };
    add(s.hasPressure, "P", s.pressure);
    add(s.hasUnnamedPressure, "mda P", s.unnamedPressure);
    add(s.hasTemperature, "T", s.temperature);
    add(s.hasHumidity, "RH", s.humidity);
    return out;
}

TEST(Nmea, SentencesAndUnitLetters) {
    std::string transcript;
    for (const std::string& line : testsupport::fileLines(
             testsupport::sourceDir() + "/tests/weather/data/nmea-sentences.txt")) {
        if (line[0] == '#') continue;
        const bool raw = line.rfind("raw:", 0) == 0;
        transcript +=
            line + ": " + shown(raw ? line.substr(4) : signedSentence(line) + "\r\n") + "\n";
    }
    testsupport::expectGolden("weather/golden/nmea.txt", transcript);
}

TEST(Nmea, LineReaderSplitsAtLineEndsAndAtANewDollar) {
    NmeaLineReader reader;
    std::vector<std::string> lines;
    auto sink = [&](const std::string& l) { lines.push_back(l); };
    const std::string a = signedSentence("WIXDR,C,15.0,C,Air");
    const std::string stream = a + "\r\n$WIXDR,C,1" + a + "\n\n" + a.substr(0, 5);
    // Byte by byte and at once give the same lines.
    for (char c : stream) reader.feed(&c, 1, sink);
    EXPECT_EQ(lines, (std::vector<std::string>{a, "$WIXDR,C,1", a}));
    EXPECT_EQ(reader.pending(), a.substr(0, 5));
    NmeaLineReader whole;
    std::vector<std::string> again;
    whole.feed(stream.data(), stream.size(), [&](const std::string& l) { again.push_back(l); });
    EXPECT_EQ(again, lines);
    // A line without an end never grows without bound.
    NmeaLineReader noisy;
    std::string junk(10000, 'x');
    noisy.feed(junk.data(), junk.size(), sink);
    EXPECT_LE(noisy.pending().size(), 256u);
}

// Each impossible quantity of a sample goes, with its reason.
TEST(Nmea, ImpossibleQuantitiesAreDropped) {
    WeatherSample both{true, true, true, 1009.0, 61.0, 100.1};
    std::vector<std::string> why;
    EXPECT_EQ(dropImpossible(&both, &why), 2);
    EXPECT_TRUE(both.hasPressure && !both.hasHumidity && !both.hasTemperature);
    EXPECT_EQ(why, (std::vector<std::string>{"temperature 61.00 C outside -90 to 60",
                                             "humidity 100.10 % outside 0 to 100"}));
}

// A time of 2026-12-07, UTC.
std::time_t at(int hour, int minute, int second) {
    return 1796601600 + 3600 * hour + 60 * minute + second;
}

WeatherSample sample(double P, double T, double RH, bool hasRH = true) {
    return {true, true, hasRH, P, T, RH};
}

// Rows as "MM:SS table value/samples[ mda];", the minute's end.
std::string text(const std::vector<WeatherRow>& rows) {
    std::string out;
    for (const WeatherRow& r : rows) {
        char one[64];
        std::snprintf(one, sizeof one, "%s %d %.2f/%d%s;", r.datatime.c_str() + 14, r.table,
                      r.value, r.samples, r.fromMda ? " mda" : "");
        out += one;
    }
    return out;
}

TEST(MinuteAverager, WindowsEndAtSecond25AndHoldTheirMeans) {
    setenv("TZ", "UTC", 1);
    tzset();
    MinuteAverager avg;
    EXPECT_EQ(text(avg.due(at(10, 0, 0))), "");
    avg.add(at(10, 0, 24), sample(1000, 10, 50));
    EXPECT_EQ(text(avg.due(at(10, 0, 24))), "");
    const std::vector<WeatherRow> first = avg.due(at(10, 0, 25));
    EXPECT_EQ(text(first), "00:25 0 1000.00/1;00:25 1 10.00/1;00:25 2 50.00/1;");
    EXPECT_EQ(first.at(0).datatime, "2026-12-07 10:00:25");
    EXPECT_EQ(text(avg.due(at(10, 0, 26))), "");  // once only

    // Second 25 opens the next window; humidity only where given.
    avg.add(at(10, 0, 25), sample(1000, 10, 40));
    avg.add(at(10, 0, 59), sample(1002, 12, 0, false));
    avg.add(at(10, 1, 24), sample(1004, 14, 60));
    EXPECT_EQ(text(avg.due(at(10, 1, 40))), "01:25 0 1002.00/3;01:25 1 12.00/3;01:25 2 50.00/2;");

    // Minutes without samples give nothing; a window never collected is
    // not mixed into a later one.
    EXPECT_EQ(text(avg.due(at(10, 5, 0))), "");
    avg.add(at(10, 5, 0), sample(990, 1, 1));
    avg.add(at(10, 7, 0), sample(1010, 3, 3));
    EXPECT_EQ(text(avg.due(at(10, 7, 30))), "07:25 0 1010.00/1;07:25 1 3.00/1;07:25 2 3.00/1;");
}

// The station of the burst above: MDA (air 2.0 C, reduced 1012.5 hPa) and
// XDR (wind chill, station pressure 1009.0 hPa) every second.
TEST(MinuteAverager, OneKindOfPressurePerMean) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::string mda = signedSentence("WIMDA,29.8999,I,1.0125,B,2.0,C,,C,75.0,,,C");
    const std::string xdr = signedSentence("YXXDR,C,-3.1,C,WCHR,P,1.0090,B,STNP");
    auto run = [&](MdaPressure choice, bool withXdr) {
        MinuteAverager avg(choice);
        for (int second = 26; second < 60 + 25; ++second) {
            avg.add(at(10, 0, 0) + second, parseNmeaSentence(mda).sample);
            if (withXdr) avg.add(at(10, 0, 0) + second, parseNmeaSentence(xdr).sample);
        }
        std::vector<WeatherRow> rows = avg.due(at(10, 1, 25));
        // A later minute with MDA only: the XDR went quiet.
        avg.add(at(10, 1, 30), parseNmeaSentence(mda).sample);
        for (const WeatherRow& r : avg.due(at(10, 2, 25))) rows.push_back(r);
        return text(rows);
    };
    // 59 samples in the first minute, one in the second; each choice by
    // its name.
    std::string transcript;
    for (const char* name : {"auto", "station", "sea-level"}) {
        MdaPressure choice = MdaPressure::Auto;
        EXPECT_TRUE(parseMdaPressure(name, &choice)) << name;
        for (bool withXdr : {true, false})
            transcript +=
                std::string(name) + (withXdr ? " and XDR: " : ": ") + run(choice, withXdr) + "\n";
    }
    testsupport::expectGolden("weather/golden/mda-pressure.txt", transcript);
    MdaPressure parsed = MdaPressure::Auto;
    EXPECT_FALSE(parseMdaPressure("reduced", &parsed));
}

TEST(WeatherStore, SpoolTakesOnlyTheWeatherInserts) {
    const char* t = "2026-12-07 10:00:25";
    for (int n = 0; n < 3; ++n) {
        std::string s = format_query(n, -12.5f + static_cast<float>(n), t);
        EXPECT_TRUE(isWeatherRowStatement(s)) << s;
        EXPECT_FALSE(isWeatherRowStatement(s + " DROP TABLE ipwv;"));
        EXPECT_FALSE(isWeatherRowStatement(s.substr(0, s.size() - 1)));
    }
    EXPECT_FALSE(isWeatherRowStatement(format_query(3, 1.0f, t)));  // radiance: not this daemon's
    // Three decimals, not a number, no such date, two rows.
    for (const std::string values :
         {"(1013.250, '2026-12-07 10:00:25')", "(nan, '2026-12-07 10:00:25')",
          "(1.00, '2026-13-07 10:00:25')",
          "(1.00, '2026-12-07 10:00:25'), (2, '2026-12-07 10:00:26')"})
        EXPECT_FALSE(isWeatherRowStatement("INSERT INTO pressure (pressure_value, data) VALUES " +
                                           values + ";"))
            << values;
}

}  // namespace
