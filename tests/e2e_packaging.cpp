// The systemd units pass systemd's own checker against this build's
// programs; the database script changes the programs' account only when
// asked.
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
    ChildProcess verify(argv);
    ASSERT_EQ(verify.wait(60s), 0) << verify.output();
    EXPECT_EQ(verify.output(), "");  // warnings included
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
    ChildProcess first({"/bin/bash", script, "--socket", socket});
    EXPECT_EQ(first.wait(60s), 3) << first.output();
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM UlmetDB.ipwv", socket), "0");  // recreated
    EXPECT_NE(sql::scalar("SHOW CREATE USER root@localhost", socket).find("'invalid'"),
              std::string::npos);
    ChildProcess second({"/bin/bash", script, "--socket", socket, "--set-root-password"});
    EXPECT_EQ(second.wait(60s), 0) << second.output();
    EXPECT_EQ(sql::scalar("SHOW CREATE USER root@localhost", socket).find("'invalid'"),
              std::string::npos);
}

}  // namespace
