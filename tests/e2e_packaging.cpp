// The systemd units pass systemd's own checker against this build's
// programs; the database script changes the programs' account only when
// asked, and brings a table made before the one-row-per-minute-and-
// satellite key to the key without losing a row.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

TEST(Packaging, UnitsPassSystemdVerify) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
    TempDir dir("ulmet-units");
    std::vector<std::string> argv = {"/usr/bin/systemd-analyze", "verify"};
    for (const char* unit : {"corvana.service", "mistrel.service", "mistrel.timer"}) {
        std::ofstream(dir.file(unit))
            << std::regex_replace(readFile(sourceDir() + "/packaging/" + unit),
                                  std::regex("/usr/local/bin/"), binDir() + "/");
        argv.push_back(dir.file(unit));
    }
    EXPECT_EQ(runToEnd(argv), "0|");  // warnings included
}

// A server whose root, like a fresh Debian one's, accepts only the
// system's root through the socket.
TEST(Packaging, InstallDbSetsThePasswordOnlyWhenAsked) {
    if (getuid() != 0) GTEST_SKIP() << "needs the system root for socket authentication";
    PrivateServer server;
    const std::string& socket = server.socket();
    sql::exec("DROP TABLE ipwv", socket);
    sql::exec(
        "ALTER USER root@localhost IDENTIFIED VIA mysql_native_password USING 'invalid' "
        "OR unix_socket",
        socket);
    const std::string script = sourceDir() + "/scripts/install-db";
    const std::string first = runToEnd({"/bin/bash", script, "--socket", socket});
    EXPECT_EQ(first.substr(0, 2), "3|") << first;
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM UlmetDB.ipwv", socket), "0");  // recreated
    EXPECT_NE(sql::scalar("SHOW CREATE USER root@localhost", socket).find("'invalid'"),
              std::string::npos);
    const std::string second =
        runToEnd({"/bin/bash", script, "--socket", socket, "--set-root-password"});
    EXPECT_EQ(second.substr(0, 2), "0|") << second;
    EXPECT_EQ(sql::scalar("SHOW CREATE USER root@localhost", socket).find("'invalid'"),
              std::string::npos);
}

TEST(Packaging, InstallDbMovesRowsStoredTwiceAsideAndAddsTheKey) {
    const std::string script = sourceDir() + "/scripts/install-db";
    PrivateServer server;
    const std::string& socket = server.socket();
    sql::exec("ALTER TABLE troposphericDelay DROP INDEX uq_troposphericDelay_data_prn", socket);
    // Minute 1, satellite 5 three times; satellite 6 once; minute 2,
    // satellite 5 twice.
    for (const char* row : {"1, 5, '2018-05-06 00:01:00'", "2, 6, '2018-05-06 00:01:00'",
                            "3, 5, '2018-05-06 00:01:00'", "4, 5, '2018-05-06 00:02:00'",
                            "5, 5, '2018-05-06 00:01:00'", "6, 5, '2018-05-06 00:02:00'"})
        sql::exec(std::string("INSERT INTO troposphericDelay (td, prn, data) VALUES (") + row + ")",
                  socket);
    auto ids = [&](const std::string& table) {
        std::string list;
        for (const auto& r : sql::rows("SELECT id, td FROM " + table + " ORDER BY id", socket))
            list += r[0] + "=" + r[1] + " ";
        return list;
    };
    for (int run = 0; run < 2; ++run) {
        const std::string install = runToEnd({"/bin/bash", script, "--socket", socket});
        ASSERT_EQ(install.substr(0, 2), "0|") << install;
        EXPECT_EQ(install.find("3 rows stored twice were moved") != std::string::npos, run == 0)
            << install;
        EXPECT_EQ(ids("troposphericDelay"), "1=1 2=2 4=4 ");
        EXPECT_EQ(ids("troposphericDelay_duplicates"), "3=3 5=5 6=6 ");
    }
    EXPECT_THROW(sql::exec("INSERT INTO troposphericDelay (td, prn, data) VALUES "
                           "(7, 6, '2018-05-06 00:01:00')",
                           socket),
                 std::runtime_error);
}

}  // namespace
