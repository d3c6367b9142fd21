// The real Mistrel program under a faked clock (2014-03-05 14:07:42 UTC)
// against a private MariaDB server of this test program: its printed
// report and the row it stores, for each case of inputs, against the
// golden file golden/mistrel.txt.
#include <gtest/gtest.h>

#include <ctime>

#include "TestSupport.h"

using namespace testsupport;

namespace {

using Rows = std::vector<std::string>;
const char kMinute[] = "2014-03-05 14:07:00";
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
    // A dropped ipwv table comes back empty, to be read like the others. The
    // readings a value was computed from are kept with it, as read.
    sql::exec(
        "CREATE TABLE IF NOT EXISTS ipwv (id INT, ipwv_value REAL, ipwv_sigma REAL, "
        "elevation REAL, prn INT, satellites INT, data TEXT, pressure REAL, temperature REAL, "
        "humidity REAL)",
        sock);
    const char* stored =
        "SELECT GROUP_CONCAT(CAST(ipwv_value AS DECIMAL(9, 6)), ' ', "
        "IFNULL(CAST(ipwv_sigma AS DECIMAL(9, 6)), 'NULL'), ' ', "
        "IFNULL(CAST(elevation AS DECIMAL(9, 5)), 'NULL'), ' ', IFNULL(prn, 'NULL'), ' ', "
        "IFNULL(satellites, 'NULL'), ' at ', data, ' from ', CONCAT_WS(' ', pressure, "
        "temperature, humidity) ORDER BY id SEPARATOR '; ') FROM ipwv";
    return result + sql::scalar(stored, sock);
}

TEST(Mistrel, Runs) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    // Weather anywhere in 14:07 qualifies, positions only at second 00. Of
    // the four satellites of 14:07:00 the highest (72 degrees; of the two
    // there, PRN 5) is used, not the first stored, nor the one furthest from
    // the horizon below it (-85), nor the higher ones at 14:07:42 and 14:08:00.
    // 20.0 C is 293.15 K.
    const std::string m = "2014-03-05 14:0";
    const Rows w = weather("1013", "20", "60"), dry = weather("1013", "20", "0");
    const std::string pos = position("40", "100", "30");
    // Only a satellite at or above the 30 degree cut-off, above the horizon,
    // may give the value: not the one furthest from the horizon below it,
    // not one under the cut-off, not an impossible elevation. Dry air at the
    // zenith: IPWV exactly 0 at 45 degrees and height 0, negative (not
    // stored) at 10 degrees and 100 m.
    const std::pair<const char*, std::vector<Rows>> cases[] = {
        {"the highest satellite of second 00 (-35 deg, 150 m, 72 deg, PRN 5)",
         {{reading("pressure", "1013", m + "7:05"), reading("temperature", "20.0", m + "7:35"),
           reading("humidity", "60", m + "7:59"),
           position("40", "100", "45", kMinute, "3", "0.5", "1"),
           position("-33", "250", "72", kMinute, "9", "0.5", "1"),
           position("-35", "150", "72", kMinute, "5", "2.5", "4"),
           position("40", "100", "-85", kMinute, "2", "0.5", "1"),
           position("41", "200", "89", m + "7:42", "7"),
           position("42", "300", "88", m + "8:00", "8")},
          weather("901", "-11", "11", m + "8:00")}},
        {"a latitude error without a height error is no position error estimate",
         {w, {position("40", "100", "30", kMinute, "NULL", "0.5")}}},
        {"no satellite rows", {w}},
        {"pressure of the next minute only",
         {{reading("pressure", "1013", "2014-03-05 14:08:00"), w[1], w[2], pos}}},
        {"no height", {w, {position("40", "NULL", "30")}}},
        {"no humidity", {weather("1013", "20", "NULL"), {pos}}},
        {"an elevation that is no number",
         {w,
          {"ALTER TABLE troposphericDelay MODIFY elevation VARCHAR(32)",
           position("40", "100", "'n/a'")}}},
        {"both below the horizon",
         {w,
          {position("40", "100", "-35.5", kMinute, "1"),
           position("40", "100", "-41", kMinute, "2")}}},
        {"all under the cut-off",
         {w,
          {position("40", "100", "3", kMinute, "1"), position("40", "100", "7.5", kMinute, "2"),
           position("40", "100", "29.99", kMinute, "3")}}},
        {"one of five at the cut-off (40 deg, 100 m, 30 deg, PRN 4)",
         {w,
          {position("41", "200", "-85", kMinute, "1"), position("41", "200", "29.9", kMinute, "2"),
           position("41", "200", "95", kMinute, "3"), position("40", "100", "30", kMinute, "4"),
           position("41", "200", "-30", kMinute, "5")}}},
        {"dry air, 45 deg, 0 m: IPWV 0", {dry, {position("45", "0", "90")}}},
        {"dry air, 10 deg, 100 m: negative", {dry, {position("10", "100", "90")}}},
        {"no ipwv table", {dry, {position("45", "0", "90"), "DROP TABLE ipwv"}}},
    };
    std::string transcript;
    for (const auto& [title, rows] : cases)
        transcript += std::string(transcript.empty() ? "" : "\n") + "== " + std::string(title) +
                      "\n" + run(rows);
    expectGolden("golden/mistrel.txt", transcript + "\n");
}

}  // namespace
