// The web application's API against the shared private server, with rows
// the tests write at fixed times: the values and gaps of a series, its
// reduction to at most 2,000 buckets, the health figures, the downloads,
// the network's stations, and every kind of bad request.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "products/ProductExport.h"
#include "products/StationMetadata.h"
#include "web/WebApi.h"
#include "web/WebSeries.h"

using namespace testsupport;
using ::testing::AllOf;

namespace {

time_t at(const char* text) {
    time_t t = 0;
    parseProductMinute(text, &t);
    return t;
}

// 2026-03-01 12:00:30 UTC: the "now" of every test.
const time_t kNow = at("2026-03-01 12:00") + 30;

// The raw JSON text of `key`'s value in a flat answer.
std::string field(const std::string& body, const std::string& key) {
    const std::size_t k = body.find("\"" + key + "\": ");
    if (k == std::string::npos) return "<absent>";
    const std::size_t start = k + key.size() + 4;
    if (body[start] == '[') return body.substr(start, body.find(']', start) - start + 1);
    if (body[start] == '"') return body.substr(start + 1, body.find('"', start + 1) - start - 1);
    return body.substr(start, body.find_first_of(",}\n", start) - start);
}

// The elements of `key`'s array.
std::vector<std::string> array(const std::string& body, const std::string& key) {
    const std::string a = field(body, key);
    std::vector<std::string> out;
    std::istringstream in(a.size() < 2 ? "" : a.substr(1, a.size() - 2));
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
}

// The answers of `api` to the requests of the golden file tests/<name>, a
// line "/path?query -> answer" each (the query as a browser sends it;
// lines of '#' are comments): the status, the type and, unless served, the
// body's first line.
std::string answers(const WebApi& api, const std::string& name) {
    std::string out;
    for (const std::string& line : fileLines(sourceDir() + "/tests/" + name)) {
        const std::string request = line.substr(0, line.find(" -> "));
        const std::size_t query = std::min(request.find('?'), request.size());
        WebParams params;
        if (query < request.size())
            httplib::detail::parse_query_text(request.substr(query + 1), params);
        const WebReply r = api.handle(request.substr(0, query), params, kNow);
        out += line[0] == '#'
                   ? line + "\n"
                   : request + " -> " + std::to_string(r.status) + " " + r.contentType +
                         (r.status == 200 ? "" : " " + r.body.substr(0, r.body.find('\n'))) + "\n";
    }
    return out;
}

// IPWV of every minute from 11:00 to 11:59 except 11:20-11:24 (the gap),
// value 1 + minute/100 cm, with weather readings every minute.
void writeHour(const std::string& schema = "UlmetDB", double offset = 0) {
    const std::string seq =
        " WITH RECURSIVE m(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM m WHERE i < 59) ";
    const std::string minute = "DATE_FORMAT('2026-03-01 11:00:00' + INTERVAL i MINUTE, ";
    sql::exec("INSERT INTO " + schema +
              ".ipwv (ipwv_value, ipwv_sigma, elevation, prn, satellites, data)" + seq + "SELECT " +
              std::to_string(1 + offset) + " + i / 100, 0.1, 40 + i / 2, 7, 8 + i MOD 3, " +
              minute + "'%Y-%m-%d %H:%i:30') FROM m WHERE i NOT BETWEEN 20 AND 24");
    sql::exec("INSERT INTO " + schema + ".temperature (temperature_value, data)" + seq +
              "SELECT 10 + i / 10, " + minute + "'%Y-%m-%d %H:%i:05') FROM m");
    sql::exec("INSERT INTO " + schema +
              ".troposphericDelay (latitude, longitude, height, prn, elevation, td, data) "
              "VALUES (45.5, 7.25, 80.5, 7, 60, 2.4, '2026-03-01 11:59:00')");
}

class WebTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sql::resetTables();
        clearSeriesCache();
    }
};

// One-minute rows of the week before kNow: value (minute index mod 6) / 10.
WebPeriod writeWeek() {
    const WebPeriod week{kNow - kNow % 60 - (7L * 1440 - 1) * 60, kNow - kNow % 60};
    sql::exec(
        "SET STATEMENT max_recursive_iterations = 20000 FOR "
        "INSERT INTO ipwv (ipwv_value, ipwv_sigma, data) WITH RECURSIVE m(i) AS (SELECT 0 UNION "
        "ALL SELECT i + 1 FROM m WHERE i < 10079) SELECT (i MOD 6) / 10, 0.05, DATE_FORMAT('" +
        formatUtc(week.first, "%Y-%m-%d %H:%M:00") +
        "' + INTERVAL i MINUTE, '%Y-%m-%d %H:%i:00') FROM m");
    return week;
}

// The values and means of each minute, nulls in the gap of the IPWV alone
// and where nothing was stored at all (pressure), the times in GPS time.
TEST_F(WebTest, SeriesHoldsTheStoredValuesAndLeavesGapsEmpty) {
    writeHour();
    expectGolden("web/golden/series-hour.json",
                 WebApi(false)
                     .handle("/api/series",
                             {{"from", "2026-03-01T11:00Z"}, {"to", "2026-03-01T11:59:59Z"}}, kNow)
                     .body);
}

// A week of one-minute rows becomes buckets of 6 minutes, starting at
// multiples of 6 minutes (at most 2,000 points) with the minimum, mean and
// maximum of each: the first holds the period's first 5 minutes (12:01 to
// 12:05) and a second run in one of them, the last 12:00 alone. A year,
// 2,000 buckets of 263 minutes; a day in 100 points, 97 of 15 minutes.
TEST_F(WebTest, LongPeriodsAreReducedToAtMostTwoThousandBuckets) {
    const WebPeriod week = writeWeek();
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (0.9, '" +
              formatUtc(week.first, "%Y-%m-%d %H:%M:40") + "')");
    WebApi api(false);
    const std::string body = api.handle("/api/series", {{"period", "week"}}, kNow).body;
    // The period, then index, time, minimum, mean, maximum and rows of some buckets.
    std::string seen = field(body, "from") + " " + field(body, "bucket_minutes") + " " +
                       field(body, "points") + "\n";
    for (std::size_t i : {0u, 1u, 800u, 1679u, 1680u, 1681u}) {
        seen += std::to_string(i);
        for (const char* key :
             {"time", "ipwv_min_cm", "ipwv_mean_cm", "ipwv_max_cm", "ipwv_rows"}) {
            const std::vector<std::string> values = array(body, key);
            seen += " " + (i < values.size() ? values[i] : "-");
        }
        seen += "\n";
    }
    for (const WebParams& p :
         {WebParams{{"period", "year"}}, {{"period", "day"}, {"points", "100"}}}) {
        const std::string b = api.handle("/api/series", p, kNow).body;
        seen += field(b, "bucket_minutes") + " " + field(b, "points") + "\n";
    }
    expectGolden("web/golden/series-week.txt", seen);
    EXPECT_EQ(bucketMinutesFor(366L * 1440, kMaxSeriesPoints), 264);
}

// Kept buckets give the same answer as the database. A kept bucket is one
// that ended kCacheSettleSeconds ago at the least, and it is kept
// kCacheSeconds exactly; one-minute buckets never are.
TEST_F(WebTest, KeptBucketsAnswerAsTheDatabaseFromTheirSettlingForTheirTime) {
    writeWeek();
    WebApi api(false);
    // At t the 6-minute bucket of 11:48 has just settled; that of 11:54 not.
    const time_t t = at("2026-03-01 11:54") + kCacheSettleSeconds;
    const auto body = [&](time_t now, const char* period = "week") {
        return api.handle("/api/series", {{"period", period}}, now).body;
    };
    const std::string cold = body(t);
    EXPECT_EQ(body(t), cold);
    body(kNow, "6h");
    sql::exec(
        "INSERT INTO ipwv (ipwv_value, data) VALUES (7, '2026-03-01 11:50:45'), "
        "(8, '2026-03-01 11:55:45'), (9, '2026-03-01 11:00:45')");
    EXPECT_THAT(field(body(kNow, "6h"), "ipwv_max_cm"), HasSubstr("9.0000"));
    for (time_t now : {t + 1, t + kCacheSeconds}) {
        const std::string m = field(body(now), "ipwv_max_cm");
        EXPECT_THAT(m, AllOf(Not(HasSubstr("7.0000")), HasSubstr("8.0000"))) << now - t;
    }
    const std::string expired = body(t + kCacheSeconds + 1);
    EXPECT_THAT(field(expired, "ipwv_max_cm"), HasSubstr("7.0000"));
    clearSeriesCache();
    EXPECT_EQ(body(t + kCacheSeconds + 1), expired);
}

// Downloads longer than the part read at once (ten days): every minute
// once, in order, the values at the parts' ends on their minutes.
TEST_F(WebTest, DownloadsLongerThanAPartHoldEveryMinuteOnce) {
    const long part = 10L * 1440;
    const time_t first = at("2026-01-01 00:00");
    for (long k : {0L, part - 1, part, part + 1})
        sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (" + std::to_string(k + 1) + ", '" +
                  formatUtc(first + k * 60, "%Y-%m-%d %H:%M:30") + "')");
    WebApi api(false);
    for (long minutes : {part - 1, part, part + 1, 2 * part + 1})
        for (const char* format : {"csv", "json"}) {
            SCOPED_TRACE(std::to_string(minutes) + " " + format);
            const WebParams params = {
                {"from", "2026-01-01T00:00Z"},
                {"to", formatUtc(first + (minutes - 1) * 60, "%Y-%m-%dT%H:%MZ")},
                {"format", format}};
            WebReply r = api.handleStreamed("/api/export", params, kNow);
            ASSERT_EQ(r.status, 200) << r.body;
            std::ostringstream out;
            std::string error;
            ASSERT_TRUE(r.writer(out, &error)) << error;
            const std::string body = out.str();
            const bool json = format[0] == 'j';
            const auto record = [&](long i) {
                return (json ? "{\"time\": \"" : "\n") +
                       formatUtc(first + i * 60, "%Y-%m-%dT%H:%M:%S") +
                       (json ? "\", \"ipwv_cm\": " : ",");
            };
            // Every minute's record, in order, and no other.
            std::size_t p = 0;
            for (long i = 0; i < minutes && p != std::string::npos; ++i)
                p = body.find(record(i), p);
            EXPECT_NE(p, std::string::npos);
            EXPECT_EQ(count(body, json ? "{\"time\": \"2026-" : "\n2026-"),
                      static_cast<std::size_t>(minutes));
            EXPECT_EQ(count(body, "},\n{\"time\""),
                      static_cast<std::size_t>(json ? minutes - 1 : 0));
            EXPECT_EQ(body.substr(body.size() - (json ? 6 : 1)), json ? "}\n]\n}\n" : "\n");
            for (long k = part - 1; k <= std::min(part + 1, minutes - 1); ++k)
                EXPECT_THAT(body, HasSubstr(record(k) + std::to_string(k + 1) + ".000000"));
        }
}

// The health figures with nothing stored, with the hour written, ten
// minutes later (the window has moved past the first ten minutes), and
// with the daemon's working directory, whose spool of a queued row gives
// ulmet-status's judged lines too.
TEST_F(WebTest, HealthCountsAgesAndTheLastHoursMissingMinutes) {
    WebApi api(false);
    std::string answers = api.handle("/api/health", {}, kNow).body;
    writeHour();
    answers += api.handle("/api/health", {}, kNow).body;
    answers += api.handle("/api/health", {}, kNow + 600).body;
    expectGolden("web/golden/health.json", answers);
    TempDir state;
    std::ofstream(state.file("corvana-spool.sql"))
        << "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, "
           "longitudeErr, heightErr, prn, elevation, td, data) VALUES (1, 2, 3, 1, 1, 1, 5, 40, "
           "2.5, '2026-03-01 11:58:00');\n";
    EXPECT_THAT(WebApi(false, state.path()).handle("/api/health", {}, kNow).body,
                AllOf(HasSubstr("\"station_health\": {\"status\":"), HasSubstr("\"spool_rows\":1"),
                      HasSubstr("{\"name\":\"spool\"")));
}

// The download is ulmet-export's, with the same station file (its golden
// files); the series carries the flags and reasons of the same minutes,
// and /api/station the station file's description and the processing.
TEST_F(WebTest, DownloadSeriesAndStationSayWhatTheExportSays) {
    sql::writeQualityMinutes();
    WebApi api(false);
    const std::string golden = sourceDir() + "/tests/products/golden/";
    setenv("ULMET_STATION_CONFIG", (golden + "station.conf").c_str(), 1);
    const WebParams period = {{"from", "2014-03-05T10:00Z"}, {"to", "2014-03-05T10:08Z"}};
    WebReply r = api.handle("/api/export", period, kNow);
    EXPECT_EQ(r.body, readFile(golden + "quality.csv"));
    EXPECT_EQ(r.contentType + " " + r.filename,
              "text/csv; charset=utf-8 ulmet-20140305T1000-20140305T1008.csv");
    WebParams json = period;
    json.insert({"format", "json"});
    EXPECT_EQ(api.handle("/api/export", json, kNow).body, readFile(golden + "quality.json"));
    expectGolden("web/golden/series-quality.json", api.handle("/api/series", period, kNow).body);
    expectGolden("web/golden/station.json", api.handle("/api/station", {}, kNow).body);
    // A series longer than a week has no per-minute flags.
    for (long minutes : {kMaxQualityMinutes - 1, kMaxQualityMinutes, kMaxQualityMinutes + 1}) {
        const WebParams p = {{"from", formatUtc(kNow - 30 - minutes * 60, "%Y-%m-%dT%H:%MZ")},
                             {"to", "2026-03-01T11:59Z"}};
        EXPECT_EQ(
            count(api.handle("/api/series", p, kNow).body, "\"flags\": null, \"quality\": null}"),
            minutes > kMaxQualityMinutes ? 1u : 0u)
            << minutes;
    }

    TempDir dir;
    std::ofstream(dir.file("station.conf")) << "antenna\n";
    setenv("ULMET_STATION_CONFIG", dir.file("station.conf").c_str(), 1);
    r = api.handle("/api/station", {}, kNow);
    unsetenv("ULMET_STATION_CONFIG");
    EXPECT_THAT(r.body,
                AllOf(HasSubstr("line 1: not 'key = value'"), HasSubstr("\"station_id\": null")));
}

// Every malformed or hostile request (golden/requests.txt) is refused
// with a message and runs no statement that could change anything; each
// limit of a request is served at its end and refused a step beyond.
TEST_F(WebTest, BadRequestsGetAClearRefusal) {
    writeHour();
    const std::string before = sql::scalar("SELECT COUNT(*) FROM ipwv");
    expectGolden("web/golden/requests.txt", answers(WebApi(false), "web/golden/requests.txt"));
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM ipwv"), before);
}

// A database that cannot be reached is reported as such (503), for every
// API, never as an empty series.
TEST_F(WebTest, AnUnreachableDatabaseIsSaidSo) {
    TempDir dir("ulmet-web");
    std::ofstream(dir.file("db.cnf")) << "[ulmet]\nsocket = /nonexistent/nobody.sock\n";
    setenv("ULMET_DB_CONFIG", dir.file("db.cnf").c_str(), 1);
    const std::string station = answers(WebApi(false), "web/golden/unreachable-station.txt");
    const std::string central = answers(WebApi(true), "web/golden/unreachable-central.txt");
    unsetenv("ULMET_DB_CONFIG");
    expectGolden("web/golden/unreachable-station.txt", station);
    expectGolden("web/golden/unreachable-central.txt", central);
}

// On a central server: the stations of UlmetNetwork.stations, each read
// from its own copy, the transfer state of each, the unhealthy first.
TEST_F(WebTest, ACentralServerListsItsStationsAndServesEachCopy) {
    // Three stations' copies; the state ulmet-network sync records: st2's
    // last fetch failed, st3's succeeded, st1 has none yet.
    std::istringstream network(readFile(sourceDir() + "/tests/web/golden/network.sql"));
    for (std::string statement; std::getline(network, statement, ';');)
        if (statement.find_first_not_of(" \n") != std::string::npos) sql::exec(statement);
    writeHour("UlmetDB_st1", 1.0);
    writeHour("UlmetDB_st2", 2.0);

    WebApi central(true);
    WebReply r = central.handle(
        "/api/series",
        {{"from", "2026-03-01T11:00Z"}, {"to", "2026-03-01T11:00Z"}, {"station", "st2"}}, kNow);
    EXPECT_EQ(field(r.body, "ipwv_mean_cm"), "[3.0000]");
    EXPECT_EQ(field(r.body, "station"), "st2");
    r = central.handle("/api/health", {{"station", "st1"}}, kNow);
    EXPECT_EQ(field(r.body, "last_ipwv_cm"), "2.5900");
    r = central.handle("/api/export", {{"period", "6h"}, {"station", "st1"}}, kNow);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.filename.substr(0, 10), "ulmet-st1-");

    expectGolden("web/golden/central-requests.txt",
                 answers(central, "web/golden/central-requests.txt"));

    // None is healthy: st1 never fetched, st2 failed, st3 has no rows at
    // all; the unhealthy first, by name (st3's lag is real time's).
    r = central.handle("/api/stations", {}, kNow);
    for (const char* db : {"UlmetDB_st1", "UlmetDB_st2", "UlmetDB_st3", "UlmetNetwork"})
        sql::exec(std::string("DROP DATABASE ") + db);
    EXPECT_EQ(r.status, 200);
    expectGolden("web/golden/stations.json",
                 std::regex_replace(r.body, std::regex("\"behind_s\": [0-9]+"), "\"behind_s\": N"));
}

TEST(WebJson, StringsStayValidJsonWhateverTheyHold) {
    EXPECT_EQ(jsonString("a\"b\\c\n\x01\xc3\xa9"), "\"a\\\"b\\\\c\\u000a\\u0001\\u00c3\\u00a9\"");
}

}  // namespace

// The station file: what an operator's typing may do to it is named by
// line, and nothing of a faulty file is used.
TEST(StationFile, ReadsTheKeysAndNamesEveryFault) {
    StationMetadata m;
    std::istringstream good(
        "# comment\n\n id = ULME00ITA \nlatitude=-33.5\nellipsoidal_height = 10\n"
        "sea_level_height = -22.25\r\nweather_source = a = b\n");
    EXPECT_EQ(parseStationMetadata(good, &m), "");
    EXPECT_EQ(m.value("station_id") + "|" + m.value("station_latitude_deg") + "|" +
                  m.value("geoid_undulation_m") + "|" + m.value("weather_source") + "|" +
                  m.value("antenna_type"),
              "ULME00ITA|-33.5|32.250|a = b|");
    const std::pair<const char*, const char*> faults[] = {
        {"id = a\nantena = x\n", "line 2: unknown key 'antena'"},
        {"id = a\nid = b\n", "line 2: key 'id' given twice"},
        {"receiver\n", "line 1: not 'key = value'"},
        {"receiver = a\x1b[2Jb\n", "line 1: a control character"},
        {"longitude = 7,5\n", "line 1: longitude is a number from -180 to 360, not '7,5'"},
        {"barometer_height = 1e9\n", "line 1: barometer_height is a number from -1000 to 1000"},
    };
    for (const auto& [text, says] : faults) {
        std::istringstream in(text);
        EXPECT_EQ(parseStationMetadata(in, &m).rfind(says, 0), 0u) << text;
    }
    setenv("ULMET_STATION_CONFIG", "/nonexistent/station.conf", 1);
    EXPECT_EQ(loadStationMetadata(&m), "/nonexistent/station.conf: cannot be read");
    unsetenv("ULMET_STATION_CONFIG");
    EXPECT_EQ(m.value("station_id"), "");
}
