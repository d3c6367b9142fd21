// The real Mistrel program under a faked clock (2014-03-05 14:07:42 UTC)
// against a private MariaDB server of this test program: its printed
// report and the row it stores, for each case of inputs, against the
// golden file golden/mistrel.txt.
#include <gtest/gtest.h>

#include <ctime>

#include "TestSupport.h"

using namespace testsupport;

namespace {

PrivateServer& server() {
    static PrivateServer s;
    return s;
}

// One Mistrel run on fresh tables filled by `statements`, clock at
// 14:07:42: "status|output after the header|stored rows".
std::string run(const std::string& statements) {
    const std::string sock = server().socket();
    sql::exec("DROP TABLE IF EXISTS troposphericDelay, temperature, ipwv", sock);
    sql::resetTables(sock);
    sql::script(statements, sock);
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

// Each case of tests/mistrel-cases.sql (a line "-- == title", then its
// statements) in turn, against the golden transcript.
TEST(Mistrel, Runs) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    const std::string cases = readFile(sourceDir() + "/tests/mistrel-cases.sql"), mark = "\n-- == ";
    std::string transcript;
    for (auto at = cases.find(mark); at != std::string::npos;) {
        const auto title = at + mark.size(), statements = cases.find('\n', title) + 1;
        at = cases.find(mark, statements);
        transcript += std::string(transcript.empty() ? "" : "\n") +
                      "== " + cases.substr(title, statements - title) +
                      run(cases.substr(statements, at - statements));
    }
    expectGolden("golden/mistrel.txt", transcript + "\n");
}

}  // namespace
