// The real Mistrel program under a faked clock (2014-03-05 14:07:42 UTC)
// against a private MariaDB server of this test program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "IPWV_Models.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

using Rows = std::vector<std::string>;
const char kMinute[] = "2014-03-05 14:07:00";
const std::string kNoGps = "255|2014-03-05 14:07:00: ****** No gps Data ****** \n\n";
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
std::string position(Text lat, Text h, Text el, Text at = kMinute) {
    return "INSERT INTO troposphericDelay (latitude, height, elevation, data) VALUES (" + lat +
           ", " + h + ", " + el + ", '" + at + "')";
}

// The printed inputs and result of a run that reached the model, and the IPWV.
std::pair<std::string, double> model(double p, double t, double rh, double h, double lat,
                                     double el) {
    const double ipwv = niellRT(kMinute, h, lat, el, p, t, rh);
    std::ostringstream o;
    o << "\nPressure = " << p << " hPa\nTemperature = " << t << " °K\nRH = " << rh
      << " %\nHeight = " << h << " m\nLatitude = " << lat << " °\nElevation = " << el
      << " °\n\nIPWV = " << ipwv << " cm\n";
    return {o.str(), ipwv};
}

// One run on fresh tables holding `rows`, clock at 14:07:42:
// "status|output after the header|stored rows".
std::string run(const std::vector<Rows>& rows, const std::string& dead = "") {
    static PrivateServer server;
    const std::string sock = server.socket();
    sql::exec("DROP TABLE IF EXISTS troposphericDelay, temperature", sock);
    sql::resetTables(sock);
    for (const Rows& some : rows)
        for (const std::string& s : some) sql::exec(s, sock);
    struct tm target = {42, 7, 14, 5, 2, 114, 0, 0, 0, 0, nullptr};
    auto env = faketimeEnv(timegm(&target) - time(nullptr));
    env.insert(env.end(), {"TZ=UTC", "MYSQL_UNIX_PORT=" + (dead.empty() ? sock : dead)});
    ChildProcess child({binDir() + "/Mistrel"}, env);
    std::string result = std::to_string(child.wait(std::chrono::seconds(60))) + "|";
    const std::string out = child.output(), header = "Datetime = [2014-03-05 14:07:00]\n";
    const auto at = out.find(header);
    result += (at == std::string::npos ? out : out.substr(at + header.size())) + "|";
    // A dropped ipwv table comes back empty, to be read like the others.
    sql::exec("CREATE TABLE IF NOT EXISTS ipwv (ipwv_value REAL, data TEXT)", sock);
    const char* stored =
        "SELECT GROUP_CONCAT(CAST(ipwv_value AS DECIMAL(9, 6)), ' at ', data) FROM ipwv";
    return result + sql::scalar(stored, sock);
}

TEST(Mistrel, Runs) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    // Weather anywhere in 14:07 qualifies, positions only at second 00;
    // one of the three satellites is used.
    const std::string m = "2014-03-05 14:0";
    const std::string r =
        run({{reading("pressure", "1013", m + "7:05"), reading("temperature", "20.0", m + "7:35"),
              reading("humidity", "60", m + "7:59"), position("40", "100", "30"),
              position("40", "100", "45"), position("40", "100", "60"),
              position("41", "200", "50", m + "7:42"), position("42", "300", "55", m + "8:00")},
             weather("901", "-11", "11", m + "8:00")});
    const auto at = r.find("Elevation = ");
    const double el = at == std::string::npos ? 0 : std::strtod(r.c_str() + at + 12, nullptr);
    EXPECT_TRUE(el == 30 || el == 45 || el == 60) << r;
    const auto [text, ipwv] = model(1013, 293.15, 60, 100, 40, el);  // 20.0 C is 293.15 K
    EXPECT_EQ(r, "0|" + text + kStored + std::to_string(ipwv) + " at " + kMinute);

    // Dry air at the zenith: IPWV exactly 0 at 45 degrees and height 0,
    // negative at 10 degrees and 100 m.
    const auto zero = model(1013, 293.15, 0, 0, 45, 90), low = model(1013, 293.15, 0, 100, 10, 90);
    ASSERT_TRUE(zero.second == 0 && low.second < 0) << zero.second << " " << low.second;
    const Rows w = weather("1013", "20", "60"), dry = weather("1013", "20", "0");
    const std::string pos = position("40", "100", "30"), gps = "255|" + kMissingGps;
    const std::string alter = "ALTER TABLE troposphericDelay MODIFY elevation VARCHAR(32)";
    const std::pair<std::vector<Rows>, std::string> cases[] = {
        {{w}, kNoGps + kMissingGps},
        {{{reading("pressure", "1013", "2014-03-05 14:08:00"), w[1], w[2], pos}}, kMissingWeather},
        {{}, kNoGps + kMissingGps},
        {{w, {position("40", "NULL", "30")}}, gps},
        {{weather("1013", "20", "NULL"), {pos}}, kMissingWeather},
        {{w, {alter, position("40", "100", "'n/a'")}}, gps},
        {{{"ALTER TABLE temperature MODIFY temperature_value VARCHAR(32)", pos},
          weather("1013", "'20 C'", "60")},
         kMissingWeather},
        {{dry, {position("45", "0", "90")}},
         "0|" + zero.first + kStored + "0.000000 at " + kMinute},
        {{dry, {position("10", "100", "90")}}, "0|" + low.first + "|NULL"},
        {{dry, {position("45", "0", "90"), "DROP TABLE ipwv"}},
         "255|" + zero.first +
             "\nQuery Failed\nqueryString : INSERT INTO ipwv (ipwv_value, data) "
             "VALUES (0.000000, '2014-03-05 14:07:00');\n\n\nDatabase: Table 'UlmetDB.ipwv' "
             "doesn't exist\n|NULL"},
    };
    for (const auto& [rows, want] : cases) EXPECT_EQ(run(rows), want);
    // No server: every look-up reports its error with the client library's
    // message; the missing position ends the run.
    const std::string d =
        "Database: Can't connect to local server through socket '/nonexistent/mysqld.sock' (2)\n";
    const std::string e = "\natmosphericData Error queryIPWV.\n\n" + d;
    EXPECT_EQ(run({}, "/nonexistent/mysqld.sock"),
              "255|" + e + e + e + "2014-03-05 14:07:00:\nError queryIPWV.\n\n" + d + kMissingGps);
}

}  // namespace
