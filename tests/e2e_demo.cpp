// The one-command demo in its short form, as a user runs it: the whole
// station on its simulators and a private server, its result checked in
// the database it leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

TEST(Demo, ShortRunStoresEveryMinuteAndStopsEverything) {
    TempDir dir("ulmet-demo");
    const std::string mariadb = sourceDir() + "/tests/support/mariadb.sh";
    // The whole run sees a clock a few seconds before a whole minute. The
    // faketime wrapper owns the clock library's shared state, which the
    // script's subshells would otherwise remove when they end.
    ChildProcess demo({"/usr/bin/faketime", "-f", "+" + std::to_string(offsetToSecondOfMinute(50)),
                       "/bin/bash", sourceDir() + "/scripts/demo", "--minutes", "2", "--dir",
                       dir.path(), "--bin-dir", binDir()},
                      {"DONT_FAKE_MONOTONIC=1"});
    int status = demo.wait(420s);
    std::string out = demo.output();
    ASSERT_EQ(status, 0) << out;
    // The run's own database, started again to look at it.
    struct Server {
        std::string script, dir;
        int run(const char* what) const {
            return std::system(("'" + script + "' " + what + " '" + dir + "' >/dev/null").c_str());
        }
        ~Server() { run("destroy"); }
    } server{mariadb, dir.file("db")};
    ASSERT_EQ(server.run("start"), 0);

    // Two acquired minutes in the summary, a PNG, and everything stopped:
    // Corvana through its stop sequence, the receiver's link removed.
    std::vector<std::string> minutes;
    std::regex line(R"(\n(\d{4}-\d\d-\d\d \d\d:\d\d) )");
    for (std::sregex_iterator it(out.begin() + out.find("=== Summary"), out.end(), line), end;
         it != end; ++it)
        minutes.push_back((*it)[1]);
    ASSERT_EQ(minutes.size(), 2u) << out;
    EXPECT_EQ(readFile(dir.file("ipwv.png")).substr(1, 3), "PNG");
    EXPECT_NE(readFile(dir.file("corvana.log")).find("Serial Comm CLOSED"), std::string::npos);
    EXPECT_NE(access(dir.file("ttyGNSS").c_str(), F_OK), 0);

    // Per minute: twelve satellites stamped at second 00, one pressure
    // reading and a plausible IPWV.
    std::string socket = dir.file("db/mysqld.sock");
    for (const std::string& minute : minutes) {
        auto row = sql::rows(
            "SELECT (SELECT COUNT(DISTINCT prn) FROM troposphericDelay WHERE data = '" + minute +
                ":00'), (SELECT COUNT(*) FROM pressure WHERE data LIKE '" + minute +
                "%'), (SELECT ipwv_value BETWEEN 0.1 AND 10 FROM ipwv WHERE data = '" + minute +
                ":00')",
            socket);
        EXPECT_EQ(row.at(0), (sql::Row{"12", "1", "1"})) << minute;
    }
    EXPECT_EQ(
        sql::scalar("SELECT COUNT(*) FROM troposphericDelay WHERE data < '" + minutes[0] + ":00'",
                    socket),
        "0");
}

}  // namespace
