// The web application's API against the shared private server, with rows
// the tests write at fixed times: the values and gaps of a series, its
// reduction to at most 2,000 buckets, the health figures, the downloads,
// the network's stations, and every kind of bad request.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "products/ProductExport.h"
#include "products/StationMetadata.h"
#include "web/WebApi.h"
#include "web/WebNetwork.h"
#include "web/WebSeries.h"

using namespace testsupport;

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
    std::string a = field(body, key);
    std::vector<std::string> out;
    if (a.size() < 2) return out;
    a = a.substr(1, a.size() - 2);
    for (std::size_t p = 0; p <= a.size();) {
        const std::size_t comma = std::min(a.find(',', p), a.size());
        out.push_back(a.substr(p, comma - p));
        p = comma + 1;
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
// maximum of each; a year, 2,000 buckets of 263 minutes.
TEST_F(WebTest, LongPeriodsAreReducedToAtMostTwoThousandBuckets) {
    const WebPeriod week = writeWeek();
    // A second run in one minute counts in its bucket's mean.
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (0.9, '" +
              formatUtc(week.first, "%Y-%m-%d %H:%M:40") + "')");
    WebApi api(false);
    WebReply r = api.handle("/api/series", {{"period", "week"}}, kNow);
    ASSERT_EQ(r.status, 200) << r.body.substr(0, 200);
    EXPECT_EQ(field(r.body, "bucket_minutes"), "6");
    EXPECT_EQ(field(r.body, "points"), "1681");
    const auto lo = array(r.body, "ipwv_min_cm"), mean = array(r.body, "ipwv_mean_cm"),
               hi = array(r.body, "ipwv_max_cm"), rows = array(r.body, "ipwv_rows");
    ASSERT_EQ(mean.size(), 1681u);
    // The first bucket holds the period's first 5 minutes (12:01 to 12:05).
    EXPECT_EQ(rows[0], "6");
    EXPECT_EQ(mean[0], "0.3167");  // (0 + 0.1 + 0.2 + 0.3 + 0.4 + 0.9) / 6
    EXPECT_EQ(array(r.body, "time")[0], std::to_string(week.first));
    EXPECT_EQ(array(r.body, "time")[1], std::to_string(week.first + 300));
    EXPECT_EQ(rows[1680], "1");  // 12:00 only
    for (std::size_t i : {1u, 800u, 1679u}) {
        EXPECT_EQ(lo[i], "0.0000") << i;
        EXPECT_EQ(mean[i], "0.2500") << i;
        EXPECT_EQ(hi[i], "0.5000") << i;
    }
    EXPECT_EQ(field(r.body, "from"), formatUtc(week.first, "%Y-%m-%dT%H:%M:%S"));

    r = api.handle("/api/series", {{"period", "year"}}, kNow);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(field(r.body, "bucket_minutes"), "263");
    EXPECT_EQ(field(r.body, "points"), "2000");
    r = api.handle("/api/series", {{"period", "day"}, {"points", "100"}}, kNow);
    EXPECT_EQ(field(r.body, "points"), "97");  // 15 minutes each, the first and last cut
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
        EXPECT_THAT(m, Not(HasSubstr("7.0000"))) << now - t;
        EXPECT_THAT(m, HasSubstr("8.0000")) << now - t;
    }
    const std::string expired = body(t + kCacheSeconds + 1);
    EXPECT_THAT(field(expired, "ipwv_max_cm"), HasSubstr("7.0000"));
    clearSeriesCache();
    EXPECT_EQ(body(t + kCacheSeconds + 1), expired);
}

// Each limit of a request at its end: served at it and a step inside,
// refused a step beyond (the per-minute flags stop instead).
TEST_F(WebTest, LimitsHoldAtTheirExactEnds) {
    WebApi api(false);
    const time_t end = at("2026-03-01 12:00");
    const auto period = [&](long minutes) {
        return WebParams{{"from", formatUtc(end - (minutes - 1) * 60, "%Y-%m-%dT%H:%MZ")},
                         {"to", formatUtc(end, "%Y-%m-%dT%H:%MZ")}};
    };
    for (const auto& [path, limit] :
         {std::pair<std::string, long>{"/api/series", kMaxPeriodMinutes},
          {"/api/export", kMaxExportMinutes}})
        for (long minutes : {limit - 1, limit, limit + 1})
            EXPECT_EQ(api.handle(path, period(minutes), kNow).status, minutes > limit ? 400 : 200)
                << path << " " << minutes;
    for (long minutes : {kMaxQualityMinutes - 1, kMaxQualityMinutes, kMaxQualityMinutes + 1})
        EXPECT_EQ(field(api.handle("/api/series", period(minutes), kNow).body, "flags") == "null",
                  minutes > kMaxQualityMinutes)
            << minutes;
    for (const auto& [points, status] : std::vector<std::pair<std::string, int>>{
             {"9", 400}, {"10", 200}, {"11", 200}, {"1999", 200}, {"2000", 200}, {"2001", 400}})
        EXPECT_EQ(api.handle("/api/series", {{"period", "day"}, {"points", points}}, kNow).status,
                  status)
            << points;
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
            const time_t last = first + (minutes - 1) * 60;
            WebReply r = api.handleStreamed("/api/export",
                                            {{"from", formatUtc(first, "%Y-%m-%dT%H:%MZ")},
                                             {"to", formatUtc(last, "%Y-%m-%dT%H:%MZ")},
                                             {"format", format}},
                                            kNow);
            ASSERT_EQ(r.status, 200) << r.body;
            std::ostringstream out;
            std::string error;
            ASSERT_TRUE(r.writer(out, &error)) << error;
            const std::string body = out.str();
            const bool json = format[0] == 'j';
            std::vector<std::string> times;
            const std::string mark = json ? "{\"time\": \"" : "\n2026-";
            for (std::size_t p = body.find(mark); p != std::string::npos;
                 p = body.find(mark, p + 1))
                times.push_back(body.substr(p + mark.size() - (json ? 0 : 5), 19));
            ASSERT_EQ(times.size(), static_cast<std::size_t>(minutes));
            for (long i = 0; i < minutes; ++i)
                ASSERT_EQ(times[i], formatUtc(first + i * 60, "%Y-%m-%dT%H:%M:%S")) << i;
            EXPECT_EQ(count(body, json ? "},\n{\"time\"" : "\n2026-"),
                      static_cast<std::size_t>(json ? minutes - 1 : minutes));
            EXPECT_EQ(body.substr(body.size() - (json ? 6 : 1)), json ? "}\n]\n}\n" : "\n");
            for (long k : {part - 1, part, part + 1}) {
                if (k >= minutes) continue;
                EXPECT_THAT(body, HasSubstr(times[k] + (json ? "\", \"ipwv_cm\": " : ",") +
                                            std::to_string(k + 1) + ".000000"));
            }
        }
}

TEST_F(WebTest, HealthCountsAgesAndTheLastHoursMissingMinutes) {
    WebApi api(false);
    WebReply r = api.handle("/api/health", {}, kNow);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(field(r.body, "last_ipwv_time"), "null");
    EXPECT_EQ(field(r.body, "missing_ipwv_minutes_last_hour"), "60");
    writeHour();
    expectGolden("web/golden/health.json", api.handle("/api/health", {}, kNow).body);
    // Ten minutes later the window has moved past the first ten minutes.
    r = api.handle("/api/health", {}, kNow + 600);
    EXPECT_EQ(field(r.body, "missing_ipwv_minutes_last_hour"), "15");

    // With the daemon's working directory, ulmet-status's judged lines too:
    // a spool of two queued rows is reported there.
    TempDir state;
    std::ofstream(state.file("corvana-spool.sql"))
        << "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, "
           "longitudeErr, heightErr, prn, elevation, td, data) VALUES (1, 2, 3, 1, 1, 1, 5, 40, "
           "2.5, '2026-03-01 11:58:00');\n";
    r = WebApi(false, state.path()).handle("/api/health", {}, kNow);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_THAT(r.body, HasSubstr("\"station_health\": {\"status\":")) << r.body;
    EXPECT_THAT(r.body, HasSubstr("\"spool_rows\":1")) << r.body;
    EXPECT_THAT(r.body, HasSubstr("{\"name\":\"spool\"")) << r.body;
    EXPECT_THAT(api.handle("/api/health", {}, kNow).body, Not(HasSubstr("station_health")));
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
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.contentType, "text/csv; charset=utf-8");
    EXPECT_EQ(r.filename, "ulmet-20140305T1000-20140305T1008.csv");
    EXPECT_EQ(r.body, readFile(golden + "quality.csv"));
    WebParams json = period;
    json.insert({"format", "json"});
    EXPECT_EQ(api.handle("/api/export", json, kNow).body, readFile(golden + "quality.json"));
    expectGolden("web/golden/series-quality.json", api.handle("/api/series", period, kNow).body);
    expectGolden("web/golden/station.json", api.handle("/api/station", {}, kNow).body);
    // Beyond a download's length there are no per-minute flags.
    EXPECT_THAT(api.handle("/api/series", {{"period", "year"}}, kNow).body,
                HasSubstr("\"flags\": null, \"quality\": null}"));

    TempDir dir;
    std::ofstream(dir.file("station.conf")) << "antenna\n";
    setenv("ULMET_STATION_CONFIG", dir.file("station.conf").c_str(), 1);
    r = api.handle("/api/station", {}, kNow);
    unsetenv("ULMET_STATION_CONFIG");
    EXPECT_THAT(r.body, HasSubstr("line 1: not 'key = value'")) << r.body;
    EXPECT_THAT(r.body, HasSubstr("\"station_id\": null"));
}

// Every malformed or hostile request is refused with a message and runs
// no statement that could change anything.
TEST_F(WebTest, BadRequestsGetAClearRefusal) {
    writeHour();
    const std::string before = sql::scalar("SELECT COUNT(*) FROM ipwv");
    WebApi station(false);
    std::vector<std::tuple<std::string, WebParams, int, std::string>> cases = {
        {"/api/series", {}, 400, "give period"},
        {"/api/series", {{"period", "decade"}}, 400, "period is one of"},
        {"/api/series", {{"period", "day"}, {"period", "week"}}, 400, "given twice"},
        {"/api/series", {{"period", "day"}, {"from", "2026-03-01T00:00Z"}}, 400, "not both"},
        {"/api/series", {{"from", "2026-03-01T00:00Z"}}, 400, "both from and to"},
        {"/api/series", {{"from", "yesterday"}, {"to", "2026-03-01T00:00Z"}}, 400, "from is not"},
        {"/api/series", {{"period", "year"}, {"points", "31536000"}}, 400, "points is"},
        {"/api/series", {{"period", "day"}, {"points", "5"}}, 400, "points is"},
        {"/api/series", {{"period", "day"}, {"points", "-1"}}, 400, "points is"},
        {"/api/series", {{"period", "day"}, {"sort", "1"}}, 400, "unknown parameter"},
        {"/api/series", {{"period", ""}}, 400, "is empty"},
        {"/api/series", {{"period", "day'; DROP TABLE ipwv; --"}}, 400, "period is one of"},
        {"/api/series", {{"period", "day"}, {"station", "st1"}}, 404, "one station"},
        {"/api/stations", {}, 404, "not a network"},
        {"/api/export", {{"period", "year"}}, 400, "at most 31 days"},
        {"/api/export", {{"period", "day"}, {"format", "xml"}}, 400, "csv or json"},
        {"/api/nothing", {}, 404, "no such API"},
        {"/api/health", {{"x\"\n\\", "1"}}, 400, "unknown parameter 'x"},
    };
    // Periods refused (400) by their ends: anything after a time's form, a
    // NUL byte included, a day that does not exist, the wrong order.
    for (const auto& [path, from, to, says] : std::vector<std::array<std::string, 4>>{
             {"/api/series", "2026-02-30T00:00Z", "2026-03-01T00:00Z", "from is not"},
             {"/api/series", "2026-03-02T00:00Z", "2026-03-01T00:00Z", "from is after to"},
             {"/api/series", "2024-01-01T00:00Z", "2026-03-01T00:00Z", "longer than 366 days"},
             {"/api/series", "2026-03-01 11:00' OR '1'='1", "2026-03-01T12:00Z", "from is not"},
             {"/api/series", std::string("2026-03-01T00:00\0garbage", 24), "2026-03-01T01:00",
              "from is not"},
             {"/api/series", "2026-03-01T00:00", "2026-03-01T01:00:00x", "to is not"},
             {"/api/series", "2026-3-01T00:00", "2026-03-01T01:00", "from is not"},
             {"/api/series", " 2026-03-01T00:00", "2026-03-01T01:00", "from is not"},
             {"/api/series", "2026-03-01T00:00:5", "2026-03-01T01:00", "from is not"},
             {"/api/export", "2026-03-01T24:00", "2026-03-01T01:00", "from is not"},
         })
        cases.push_back({path, {{"from", from}, {"to", to}}, 400, says});
    for (const auto& [path, params, status, says] : cases) {
        const WebReply r = station.handle(path, params, kNow);
        SCOPED_TRACE(path + " " + r.body);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.contentType, "application/json");
        EXPECT_THAT(field(r.body, "error"), HasSubstr(says));
    }
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM ipwv"), before);
}

// A database that cannot be reached is reported as such (503), for every
// API, never as an empty series.
TEST_F(WebTest, AnUnreachableDatabaseIsSaidSo) {
    TempDir dir("ulmet-web");
    {
        std::ofstream cnf(dir.file("db.cnf"));
        cnf << "[ulmet]\nsocket = " << dir.file("nobody.sock") << "\n";
    }
    setenv("ULMET_DB_CONFIG", dir.file("db.cnf").c_str(), 1);
    WebApi station(false), central(true);
    const WebReply replies[] = {
        station.handle("/api/series", {{"period", "6h"}}, kNow),
        station.handle("/api/health", {}, kNow),
        station.handle("/api/export", {{"period", "6h"}}, kNow),
        central.handle("/api/stations", {}, kNow),
        central.handle("/api/series", {{"period", "6h"}, {"station", "st1"}}, kNow),
    };
    unsetenv("ULMET_DB_CONFIG");
    for (const WebReply& r : replies) {
        SCOPED_TRACE(r.body);
        EXPECT_EQ(r.status, 503);
        EXPECT_THAT(r.body, HasSubstr("cannot be reached"));
    }
    EXPECT_EQ(field(replies[1].body, "database"), "unreachable");
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

    EXPECT_EQ(central.handle("/api/series", {{"period", "6h"}, {"station", "st9"}}, kNow).status,
              404);
    EXPECT_EQ(central.handle("/api/series", {{"period", "6h"}}, kNow).status, 400);
    for (const char* hostile : {"st1`.ipwv; --", "UlmetDB", "st1 ", "../st1", ""})
        EXPECT_EQ(central.handle("/api/health", {{"station", hostile}}, kNow).status, 400)
            << hostile;

    std::vector<StationLine> lines;
    std::string error;
    ASSERT_TRUE(networkOverview(kNow, &lines, &error) && lines.size() == 3) << error;
    r = central.handle("/api/stations", {}, kNow);
    for (const char* db : {"UlmetDB_st1", "UlmetDB_st2", "UlmetDB_st3", "UlmetNetwork"})
        sql::exec(std::string("DROP DATABASE ") + db);

    // None is healthy: st1 never fetched, st2 failed, st3 has no rows at
    // all; by name.
    std::string seen;
    for (const StationLine& l : lines)
        seen += l.name + " " + l.receive.state + " " + l.receive.problem + " " +
                l.health.lastIpwvTime + (l.healthy ? " healthy" : "") + "|";
    EXPECT_EQ(seen,
              "st1 new  2026-03-01 11:59:30|st2 failed error 2003: cannot connect "
              "2026-03-01 11:59:30|st3 ok  |");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_THAT(r.body, HasSubstr("\"name\": \"st2\", \"state\": \"failed\"")) << r.body;
    EXPECT_THAT(r.body, HasSubstr("\"last_ipwv_cm\": 3.5900"));
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
