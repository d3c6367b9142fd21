// The real Mistrel program under a faked clock (2014-03-05 14:07:42 UTC)
// against a private MariaDB server of this test program.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

#include "IPWV_Models.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

using Rows = std::vector<std::string>;
const char kMinute[] = "2014-03-05 14:07:00";
const std::string kMissingGps = "\nIPWV cannot be evaluated ==> Missing GPS Data\n\n|NULL";
const std::string kMissingWeather =
    "255|\nIPWV cannot be evaluated ==> Missing Atmospheric Data\n\n|NULL";
const std::string kStored =
    "Successful query. IPWV Data correctly stored.\n\n====== ====== ====== ====== ====== ====== "
    "\n\n|";

using Text = const std::string&;
std::string reading(Text t, Text v, Text at = kMinute) {
    return "INSERT INTO " + t + " (" + t + "_value, data) VALUES (" + v + ", '" + at + "')";
}
Rows weather(Text p, Text t, Text rh, Text at = kMinute) {
    return {reading("pressure", p, at), reading("temperature", t, at), reading("humidity", rh, at)};
}
std::string position(Text lat, Text h, Text el, Text at = kMinute, Text prn = "NULL",
                     Text latErr = "NULL", Text hErr = "NULL") {
    return "INSERT INTO troposphericDelay (latitude, height, elevation, prn, latitudeErr, "
           "heightErr, data) VALUES (" +
           lat + ", " + h + ", " + el + ", " + prn + ", " + latErr + ", " + hErr + ", '" + at +
           "')";
}

// The printed inputs and result of a run that reached the model, and the
// row it stores ("value sigma elevation prn satellites at minute"). Position
// errors in metres; negative ones mean none stored.
std::pair<std::string, std::string> model(double p, double t, double rh, double h, double lat,
                                          double el, int prn = -1, int sats = 1, double latErr = -1,
                                          double hErr = -1) {
    const bool errors = latErr >= 0;
    std::unique_ptr<double[]> r(niellRT(kMinute, h, lat, el, p, t, rh,
                                        errors ? latErr / metresPerDegreeLatitude(lat) : 0,
                                        errors ? hErr : 0));
    std::ostringstream o;
    o << "\nPressure = " << p << " hPa\nTemperature = " << t << " °K\nRH = " << rh
      << " %\nHeight = " << h << " m\nLatitude = " << lat << " °\nElevation = " << el
      << " °\n\nIPWV = " << r[0] << " cm\nIPWV uncertainty = ";
    (errors ? o << r[1] << " cm\n" : o << "unknown (no position error estimates)\n");
    char row[200];
    std::snprintf(row, sizeof(row), "%.6f %s %.5f %s %d at %s", r[0],
                  errors ? std::to_string(r[1]).c_str() : "NULL", el,
                  prn < 0 ? "NULL" : std::to_string(prn).c_str(), sats, kMinute);
    return {o.str(), r[0] >= 0 ? row : "NULL"};
}

PrivateServer& server() {
    static PrivateServer s;
    return s;
}

// One Mistrel run on fresh tables holding `rows`, clock at 14:07:42:
// "status|output after the header|stored rows".
std::string run(const std::vector<Rows>& rows) {
    const std::string sock = server().socket();
    sql::exec("DROP TABLE IF EXISTS troposphericDelay, temperature, ipwv", sock);
    sql::resetTables(sock);
    for (const Rows& some : rows)
        for (const std::string& s : some) sql::exec(s, sock);
    struct tm target = {42, 7, 14, 5, 2, 114, 0, 0, 0, 0, nullptr};
    auto env = faketimeEnv(timegm(&target) - time(nullptr));
    env.insert(env.end(), {"TZ=UTC", "MYSQL_UNIX_PORT=" + sock});
    ChildProcess child({binDir() + "/Mistrel"}, env);
    std::string result = std::to_string(child.wait(std::chrono::seconds(60))) + "|";
    const std::string out = child.output(), header = "Datetime = [2014-03-05 14:07:00]\n";
    const auto at = out.find(header);
    result += (at == std::string::npos ? out : out.substr(at + header.size())) + "|";
    // A dropped ipwv table comes back empty, to be read like the others.
    sql::exec(
        "CREATE TABLE IF NOT EXISTS ipwv (id INT, ipwv_value REAL, ipwv_sigma REAL, "
        "elevation REAL, prn INT, satellites INT, data TEXT)",
        sock);
    const char* stored =
        "SELECT GROUP_CONCAT(CAST(ipwv_value AS DECIMAL(9, 6)), ' ', "
        "IFNULL(CAST(ipwv_sigma AS DECIMAL(9, 6)), 'NULL'), ' ', "
        "IFNULL(CAST(elevation AS DECIMAL(9, 5)), 'NULL'), ' ', IFNULL(prn, 'NULL'), ' ', "
        "IFNULL(satellites, 'NULL'), ' at ', data ORDER BY id SEPARATOR '; ') FROM ipwv";
    return result + sql::scalar(stored, sock);
}

TEST(Mistrel, Runs) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    // Weather anywhere in 14:07 qualifies, positions only at second 00. Of
    // the four satellites of 14:07:00 the highest (72 degrees; of the two
    // there, PRN 5) is used, not the first stored, nor the one furthest from
    // the horizon below it (-85), nor the higher ones at 14:07:42 and 14:08:00.
    const std::string m = "2014-03-05 14:0";
    // 20.0 C is 293.15 K.
    const auto [text, row] = model(1013, 293.15, 60, 150, -35, 72, 5, 4, 2.5, 4);
    EXPECT_EQ(
        run({{reading("pressure", "1013", m + "7:05"), reading("temperature", "20.0", m + "7:35"),
              reading("humidity", "60", m + "7:59"),
              position("40", "100", "45", kMinute, "3", "0.5", "1"),
              position("-33", "250", "72", kMinute, "9", "0.5", "1"),
              position("-35", "150", "72", kMinute, "5", "2.5", "4"),
              position("40", "100", "-85", kMinute, "2", "0.5", "1"),
              position("41", "200", "89", m + "7:42", "7"),
              position("42", "300", "88", m + "8:00", "8")},
             weather("901", "-11", "11", m + "8:00")}),
        "0|" + text + kStored + row);
    // The readings it was computed from are kept with it, as read.
    EXPECT_EQ(sql::scalar("SELECT CONCAT_WS(' ', pressure, temperature, humidity) FROM ipwv",
                          server().socket()),
              "1013 20 60");

    // Dry air at the zenith: IPWV exactly 0 at 45 degrees and height 0,
    // negative at 10 degrees and 100 m.
    const auto zero = model(1013, 293.15, 0, 0, 45, 90), low = model(1013, 293.15, 0, 100, 10, 90);
    const Rows w = weather("1013", "20", "60"), dry = weather("1013", "20", "0");
    const std::string pos = position("40", "100", "30"), gps = "255|" + kMissingGps;
    // Only a satellite at or above the 30 degree cut-off, above the horizon,
    // may give the value: not the one furthest from the horizon below it,
    // not one under the cut-off, not an impossible elevation.
    const auto noneAbove = [](const char* n) {
        return "255|2014-03-05 14:07:00: no satellite at or above the 30 degree cut-off among "
               "the minute's " +
               std::string(n) + " satellite rows: no IPWV for this minute.\n\n" + kMissingGps;
    };
    const auto mixed = model(1013, 293.15, 60, 100, 40, 30, 4, 5);
    // A latitude error without a height error is no position error estimate.
    const auto half = model(1013, 293.15, 60, 100, 40, 30);
    const std::pair<std::vector<Rows>, std::string> cases[] = {
        {{w, {position("40", "100", "30", kMinute, "NULL", "0.5")}},
         "0|" + half.first + kStored + half.second},
        {{w}, "255|2014-03-05 14:07:00: ****** No gps Data ****** \n\n" + kMissingGps},
        {{{reading("pressure", "1013", "2014-03-05 14:08:00"), w[1], w[2], pos}}, kMissingWeather},
        {{w, {position("40", "NULL", "30")}}, gps},
        {{weather("1013", "20", "NULL"), {pos}}, kMissingWeather},
        {{w,
          {"ALTER TABLE troposphericDelay MODIFY elevation VARCHAR(32)",
           position("40", "100", "'n/a'")}},
         noneAbove("1")},
        {{w,
          {position("40", "100", "-35.5", kMinute, "1"),
           position("40", "100", "-41", kMinute, "2")}},
         noneAbove("2")},
        {{w,
          {position("40", "100", "3", kMinute, "1"), position("40", "100", "7.5", kMinute, "2"),
           position("40", "100", "29.99", kMinute, "3")}},
         noneAbove("3")},
        {{w,
          {position("41", "200", "-85", kMinute, "1"), position("41", "200", "29.9", kMinute, "2"),
           position("41", "200", "95", kMinute, "3"), position("40", "100", "30", kMinute, "4"),
           position("41", "200", "-30", kMinute, "5")}},
         "0|" + mixed.first + kStored + mixed.second},
        {{dry, {position("45", "0", "90")}}, "0|" + zero.first + kStored + zero.second},
        {{dry, {position("10", "100", "90")}}, "0|" + low.first + "|NULL"},
        {{dry, {position("45", "0", "90"), "DROP TABLE ipwv"}},
         "255|" + zero.first +
             "\nQuery Failed\nqueryString : INSERT INTO ipwv (ipwv_value, ipwv_sigma, elevation, "
             "prn, satellites, pressure, temperature, humidity, data) VALUES (0.000000, NULL, "
             "90.00000, NULL, 1, 1013, 20, 0, '2014-03-05 14:07:00');\n\n\nDatabase: error 1146: "
             "Table 'UlmetDB.ipwv' doesn't "
             "exist\n|NULL"},
    };
    for (const auto& [rows, want] : cases) EXPECT_EQ(run(rows), want);
}

}  // namespace
