#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

struct Case {
    const char* body;
    NmeaStatus status;
    int hasP, hasT, hasRH;  // -1: do not check
    double P, T, RH;
};

TEST(Nmea, SentencesAndUnitLetters) {
    const Case cases[] = {
        // MDA: the bar field wins over inches of mercury; C only.
        {"WIMDA,29.9213,I,1.01325,B,15.50,C,,C,61.0,,,C,,T,,M,,N,,M", NmeaStatus::Ok, 1, 1, 1,
         1013.25, 15.5, 61.0},
        {"WIMDA,29.9213,I,,B,15.50,C,,C,,,,C", NmeaStatus::Ok, 1, 1, 0, 1013.25, 15.5, 0},
        {"IIMDA,,I,,B,,C,,C,42.5,,,C", NmeaStatus::Ok, 0, 0, 1, 0, 0, 42.5},
        {"WIMDA,,I,,B,,C,,C,,,,C", NmeaStatus::Ignored, -1, -1, -1, 0, 0, 0},
        {"WIMDA,29.92,I,1.013,X,15.0,C,,C,60,,,C", NmeaStatus::Malformed, -1, -1, -1, 0, 0, 0},
        {"WIMDA,29.92,I,1.013,B,59.0,F,,C,60,,,C", NmeaStatus::Malformed, -1, -1, -1, 0, 0, 0},
        {"WIMDA,29.92,I,1.0x3,B,15.0,C,,C,60,,,C", NmeaStatus::Malformed, -1, -1, -1, 0, 0, 0},
        {"WIMDA,29.92,I,1.013", NmeaStatus::Cut, -1, -1, -1, 0, 0, 0},
        // XDR pressure in bar, pascal, hPa, inHg; temperature C, F, K; humidity P.
        {"WIXDR,P,1.01325,B,Baro,C,15.0,C,TempAir,H,61.0,P,Hum", NmeaStatus::Ok, 1, 1, 1, 1013.25,
         15.0, 61.0},
        {"WIXDR,P,101325,P,Baro", NmeaStatus::Ok, 1, 0, 0, 1013.25, 0, 0},
        {"WIXDR,P,1013.25,H,Baro", NmeaStatus::Ok, 1, 0, 0, 1013.25, 0, 0},
        {"WIXDR,P,29.9213,I,Baro", NmeaStatus::Ok, 1, 0, 0, 1013.25, 0, 0},
        {"WIXDR,C,59.0,F,Air", NmeaStatus::Ok, 0, 1, 0, 0, 15.0, 0},
        {"WIXDR,C,288.15,K,Air", NmeaStatus::Ok, 0, 1, 0, 0, 15.0, 0},
        // Water and dew point are not the air; an empty value is absent.
        {"WIXDR,C,9.0,C,ENV_WATER_T,C,12.0,C,TempAir,C,5.0,C,DewPoint,H,,P,Hum", NmeaStatus::Ok, 0,
         1, 0, 0, 12.0, 0},
        {"WIXDR,P,1.013,Q,Baro", NmeaStatus::Malformed, -1, -1, -1, 0, 0, 0},
        {"WIXDR,H,50,C,Hum", NmeaStatus::Malformed, -1, -1, -1, 0, 0, 0},
        {"WIXDR,P,1.013,B", NmeaStatus::Cut, -1, -1, -1, 0, 0, 0},
        {"WIXDR,A,12.5,D,Pitch", NmeaStatus::Ignored, -1, -1, -1, 0, 0, 0},
        {"GPGGA,123519,4807.038,N", NmeaStatus::Ignored, -1, -1, -1, 0, 0, 0},
        // Impossible readings: the whole sentence goes.
        {"WIXDR,P,1.2,B,Baro,C,15,C,Air", NmeaStatus::Impossible, 0, 0, 0, 0, 0, 0},
        {"WIXDR,P,0.25,B,Baro", NmeaStatus::Impossible, 0, 0, 0, 0, 0, 0},
        {"WIXDR,C,61,C,Air", NmeaStatus::Impossible, 0, 0, 0, 0, 0, 0},
        {"WIXDR,C,-91,C,Air", NmeaStatus::Impossible, 0, 0, 0, 0, 0, 0},
        {"WIXDR,H,100.5,P,Hum", NmeaStatus::Impossible, 0, 0, 0, 0, 0, 0},
        {"WIXDR,H,-0.1,P,Hum", NmeaStatus::Impossible, 0, 0, 0, 0, 0, 0},
        {"WIXDR,H,100,P,Hum,P,0.3,B,Baro", NmeaStatus::Ok, 1, 0, 1, 300.0, 0, 100.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        NmeaResult r = parseNmeaSentence(signedSentence(c.body) + "\r\n");
        ASSERT_EQ(nmeaStatusName(r.status), std::string(nmeaStatusName(c.status))) << r.reason;
        if (c.hasP < 0) continue;
        // MDA's pressure does not say which it is: kept apart.
        const bool mda = std::string(c.body).find("MDA") != std::string::npos;
        EXPECT_EQ(r.sample.hasPressure && mda, false);
        EXPECT_EQ(mda ? r.sample.hasUnnamedPressure : r.sample.hasPressure, c.hasP == 1);
        if (mda) r.sample.pressure = r.sample.unnamedPressure;
        EXPECT_EQ(r.sample.hasTemperature, c.hasT == 1);
        EXPECT_EQ(r.sample.hasHumidity, c.hasRH == 1);
        if (c.hasP == 1) {
            EXPECT_NEAR(r.sample.pressure, c.P, 0.005);
        }
        if (c.hasT == 1) {
            EXPECT_NEAR(r.sample.temperature, c.T, 0.005);
        }
        if (c.hasRH == 1) {
            EXPECT_NEAR(r.sample.humidity, c.RH, 0.005);
        }
    }
}

TEST(Nmea, ChecksumsAndCutSentences) {
    const std::string good = signedSentence("WIXDR,C,15.0,C,Air");
    EXPECT_EQ(parseNmeaSentence(good).status, NmeaStatus::Ok);
    std::string lower = good;
    lower[lower.size() - 1] = static_cast<char>(std::tolower(lower.back()));
    lower[lower.size() - 2] = static_cast<char>(std::tolower(lower[lower.size() - 2]));
    EXPECT_EQ(parseNmeaSentence(lower).status, NmeaStatus::Ok);
    std::string wrong = good;
    wrong[wrong.size() - 1] = wrong.back() == '0' ? '1' : '0';
    EXPECT_EQ(parseNmeaSentence(wrong).status, NmeaStatus::BadChecksum);
    std::string digit = good;
    digit[8] = '6';  // 15.0 -> 16.0 after the checksum was made
    EXPECT_EQ(parseNmeaSentence(digit).status, NmeaStatus::BadChecksum);
    EXPECT_EQ(parseNmeaSentence(good.substr(0, good.size() - 1)).status, NmeaStatus::Cut);
    EXPECT_EQ(parseNmeaSentence(good.substr(0, good.size() - 3)).status, NmeaStatus::Cut);
    EXPECT_EQ(parseNmeaSentence(good.substr(1)).status, NmeaStatus::Cut);
    EXPECT_EQ(parseNmeaSentence(good + "7").status, NmeaStatus::Cut);
    EXPECT_EQ(parseNmeaSentence(good.substr(0, good.size() - 2) + "G1").status, NmeaStatus::Cut);
    EXPECT_EQ(parseNmeaSentence("").status, NmeaStatus::Cut);
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

// Names of real instruments' transducers: air temperature beside wind
// chill, heat index, water and dew point; station pressure beside reduced.
TEST(Nmea, OnlyAirTemperatureAndStationPressure) {
    for (const char* name : {"WCHR", "wcht", "HINX", "ENV_WATER_T", "DewPoint", "DWPT", "WindChill",
                             "HeatIndex", "Heater", "ENV_INSIDE_T"})
        EXPECT_TRUE(notAirTemperature(name)) << name;
    for (const char* name : {"TempAir", "ENV_OUTAIR_T", "AirTemp", "0", "", "TA"})
        EXPECT_FALSE(notAirTemperature(name)) << name;
    for (const char* name : {"QNH", "QFF", "MSLP", "SeaLevel", "SLP", "PressureReduced"})
        EXPECT_TRUE(reducedPressureName(name)) << name;
    for (const char* name : {"STNP", "Baro", "Barometer", "0", "", "QFE"})
        EXPECT_FALSE(reducedPressureName(name)) << name;

    // An ultrasonic station's burst: wind chill and heat index first, then
    // the air; the reduced pressure named beside the station pressure.
    NmeaResult x = parseNmeaSentence(
        signedSentence("YXXDR,C,-3.1,C,WCHR,C,-3.1,C,WCHT,C,2.0,C,HINX,C,2.0,C,TempAir,P,1.0125,"
                       "B,QNH,P,1.0090,B,STNP"));
    ASSERT_EQ(x.status, NmeaStatus::Ok) << x.reason;
    EXPECT_DOUBLE_EQ(x.sample.temperature, 2.0);
    EXPECT_NEAR(x.sample.pressure, 1009.0, 1e-9);
    EXPECT_FALSE(x.sample.hasUnnamedPressure);
    // Wind chill alone is no temperature at all.
    NmeaResult chill = parseNmeaSentence(signedSentence("YXXDR,C,-3.1,C,WCHR,C,-3.1,C,WCHT"));
    EXPECT_EQ(chill.status, NmeaStatus::Ignored);
    NmeaResult m = parseNmeaSentence(signedSentence("WIMDA,29.8999,I,1.0125,B,2.0,C,,C,75.0,,,C"));
    ASSERT_EQ(m.status, NmeaStatus::Ok);
    EXPECT_FALSE(m.sample.hasPressure);
    EXPECT_NEAR(m.sample.unnamedPressure, 1012.5, 1e-9);
    // An impossible MDA pressure refuses the sentence like any other.
    EXPECT_EQ(parseNmeaSentence(signedSentence("WIMDA,,I,0.2,B,2.0,C,,C,75.0,,,C")).status,
              NmeaStatus::Impossible);
    WeatherSample both;
    both.hasPressure = both.hasHumidity = both.hasTemperature = true;
    both.pressure = 1009.0;
    both.humidity = 100.1;
    both.temperature = 61.0;
    std::vector<std::string> why;
    EXPECT_EQ(dropImpossible(&both, &why), 2);
    EXPECT_TRUE(both.hasPressure && !both.hasHumidity && !both.hasTemperature);
    EXPECT_EQ(why, (std::vector<std::string>{"temperature 61.00 C outside -90 to 60",
                                             "humidity 100.10 % outside 0 to 100"}));
}

std::time_t at(int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

WeatherSample sample(double P, double T, double RH, bool hasRH = true) {
    WeatherSample s;
    s.hasPressure = s.hasTemperature = true;
    s.hasHumidity = hasRH;
    s.pressure = P;
    s.temperature = T;
    s.humidity = RH;
    return s;
}

TEST(MinuteAverager, WindowsEndAtSecond25AndHoldTheirMeans) {
    setenv("TZ", "UTC", 1);
    tzset();
    MinuteAverager avg;
    EXPECT_TRUE(avg.due(at(10, 0, 0)).empty());
    avg.add(at(10, 0, 24), sample(1000, 10, 50));
    EXPECT_TRUE(avg.due(at(10, 0, 24)).empty());
    std::vector<WeatherRow> rows = avg.due(at(10, 0, 25));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].datatime, "2026-12-07 10:00:25");
    EXPECT_DOUBLE_EQ(rows[0].value, 1000);
    EXPECT_TRUE(avg.due(at(10, 0, 26)).empty());  // once only

    // Second 25 opens the next window; humidity only where given.
    avg.add(at(10, 0, 25), sample(1000, 10, 40));
    avg.add(at(10, 0, 59), sample(1002, 12, 0, false));
    avg.add(at(10, 1, 24), sample(1004, 14, 60));
    rows = avg.due(at(10, 1, 40));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].datatime, "2026-12-07 10:01:25");
    EXPECT_DOUBLE_EQ(rows[0].value, 1002);
    EXPECT_DOUBLE_EQ(rows[1].value, 12);
    EXPECT_DOUBLE_EQ(rows[2].value, 50);
    EXPECT_EQ(rows[0].samples, 3);
    EXPECT_EQ(rows[2].samples, 2);

    // Minutes without samples give nothing; a window never collected is
    // not mixed into a later one.
    EXPECT_TRUE(avg.due(at(10, 5, 0)).empty());
    avg.add(at(10, 5, 0), sample(990, 1, 1));
    avg.add(at(10, 7, 0), sample(1010, 3, 3));
    rows = avg.due(at(10, 7, 30));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].datatime, "2026-12-07 10:07:25");
    EXPECT_DOUBLE_EQ(rows[0].value, 1010);
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
        std::string text;
        for (const WeatherRow& r : rows) {
            char one[64];
            std::snprintf(one, sizeof one, "%s %d %.2f%s;", r.datatime.c_str() + 14, r.table,
                          r.value, r.fromMda ? " mda" : "");
            text += one;
        }
        return text;
    };
    EXPECT_EQ(run(MdaPressure::Auto, true),
              "01:25 0 1009.00;01:25 1 2.00;01:25 2 75.00;"
              "02:25 1 2.00;02:25 2 75.00;");
    EXPECT_EQ(run(MdaPressure::Auto, false),
              "01:25 0 1012.50 mda;01:25 1 2.00;01:25 2 75.00;"
              "02:25 0 1012.50 mda;02:25 1 2.00;02:25 2 75.00;");
    EXPECT_EQ(run(MdaPressure::SeaLevel, false),
              "01:25 1 2.00;01:25 2 75.00;"
              "02:25 1 2.00;02:25 2 75.00;");
    EXPECT_EQ(run(MdaPressure::Station, false),
              "01:25 0 1012.50;01:25 1 2.00;01:25 2 75.00;"
              "02:25 0 1012.50;02:25 1 2.00;02:25 2 75.00;");
    MdaPressure parsed = MdaPressure::Auto;
    EXPECT_TRUE(parseMdaPressure("sea-level", &parsed));
    EXPECT_EQ(parsed, MdaPressure::SeaLevel);
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
    EXPECT_FALSE(isWeatherRowStatement(
        "INSERT INTO pressure (pressure_value, data) VALUES (1013.250, '2026-12-07 10:00:25');"));
    EXPECT_FALSE(isWeatherRowStatement(
        "INSERT INTO pressure (pressure_value, data) VALUES (nan, '2026-12-07 10:00:25');"));
    EXPECT_FALSE(isWeatherRowStatement(
        "INSERT INTO pressure (pressure_value, data) VALUES (1.00, '2026-13-07 10:00:25');"));
    EXPECT_FALSE(isWeatherRowStatement(
        "INSERT INTO pressure (pressure_value, data) VALUES (1.00, '2026-12-07 10:00:25'), (2, "
        "'2026-12-07 10:00:26');"));
}

}  // namespace
