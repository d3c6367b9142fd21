// The deployment: the systemd units pass systemd's own checker against the
// programs of this build, the install script stages a complete
// installation, and the database script changes the programs' account
// only when asked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::string packaging(const std::string& name) { return sourceDir() + "/packaging/" + name; }

bool haveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(Packaging, UnitsPassSystemdVerifyAgainstThisBuild) {
    if (!haveProgram("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    // The units name /usr/local/bin; the copies name this build's programs.
    TempDir dir("ulmet-units");
    std::vector<std::string> argv = {"/usr/bin/systemd-analyze", "verify"};
    for (const char* unit : {"corvana.service", "mistrel.service", "mistrel.timer"}) {
        std::ofstream(dir.file(unit)) << std::regex_replace(
            readFile(packaging(unit)), std::regex("/usr/local/bin/"), binDir() + "/");
        argv.push_back(dir.file(unit));
    }
    ChildProcess verify(argv);
    ASSERT_EQ(verify.wait(60s), 0) << verify.output();
    // Unknown keys and unparsable values are only warnings for systemd.
    EXPECT_EQ(verify.output(), "");
}

TEST(Packaging, InstallScriptStagesACompleteInstallation) {
    TempDir stage("ulmet-stage");
    ChildProcess install(
        {"/bin/bash", packaging("install.sh"), "--build-dir", binDir(), "--destdir", stage.path()});
    ASSERT_EQ(install.wait(120s), 0) << install.output();
    for (const char* file :
         {"/usr/local/bin/Corvana", "/usr/local/bin/Mistrel", "/usr/local/bin/ulmet-plot",
          "/usr/local/sbin/ulmet-install-db", "/usr/local/share/ulmet/schema.sql",
          "/usr/local/share/ulmet/examples/99-gnss-receiver.rules",
          "/usr/local/share/ulmet/examples/corvana-override.conf", "/etc/sysusers.d/ulmet.conf"}) {
        const int mode = std::string(file).find("bin/") != std::string::npos ? X_OK : R_OK;
        EXPECT_EQ(access((stage.path() + file).c_str(), mode), 0) << file;
    }
    for (const char* unit : {"corvana.service", "mistrel.service", "mistrel.timer"})
        EXPECT_EQ(readFile(stage.path() + "/etc/systemd/system/" + unit),
                  readFile(packaging(unit)));

    // The account file makes a system user ulmet in the group dialout.
    if (!haveProgram("systemd-sysusers")) return;
    TempDir root("ulmet-sysroot");
    ASSERT_EQ(mkdir(root.file("etc").c_str(), 0755), 0);
    std::ofstream(root.file("etc/group")) << "dialout:x:20:\n";
    std::ofstream(root.file("etc/passwd")) << "root:x:0:0:root:/root:/bin/bash\n";
    ChildProcess sysusers({"/bin/sh", "-c",
                           "systemd-sysusers --root='" + root.path() + "' - < '" + stage.path() +
                               "/etc/sysusers.d/ulmet.conf'"});
    ASSERT_EQ(sysusers.wait(30s), 0) << sysusers.output();
    EXPECT_NE(readFile(root.file("etc/passwd")).find("ulmet:x:"), std::string::npos);
    EXPECT_NE(readFile(root.file("etc/group")).find("dialout:x:20:ulmet"), std::string::npos);
}

// The database script on a server whose root account, like a fresh
// Debian installation's, accepts only the system's root through the
// socket: it creates the schema, refuses to touch the account unless
// asked, and then lets the programs' password in.
TEST(Packaging, InstallDbSetsThePasswordOnlyWhenAsked) {
    if (getuid() != 0) GTEST_SKIP() << "needs the system root for socket authentication";
    PrivateServer server;
    const std::string& socket = server.socket();
    sql::exec(
        "DROP TABLE troposphericDelay, gps, ipwv, pressure, temperature, humidity, radiance, "
        "raingauge",
        socket);
    sql::exec(
        "ALTER USER root@localhost IDENTIFIED VIA mysql_native_password USING 'invalid' OR "
        "unix_socket",
        socket);
    const std::string script = sourceDir() + "/scripts/install-db";

    ChildProcess first({"/bin/bash", script, "--socket", socket});
    EXPECT_EQ(first.wait(60s), 3) << first.output();
    EXPECT_NE(first.output().find("--set-root-password"), std::string::npos);
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = "
                          "'UlmetDB'",
                          socket),
              "8");
    EXPECT_NE(sql::scalar("SHOW CREATE USER root@localhost", socket).find("'invalid'"),
              std::string::npos);

    // Run again on an existing database: nothing is dropped.
    sql::exec("INSERT INTO UlmetDB.ipwv (ipwv_value, data) VALUES (1.5, '2024-05-06 10:00:00')",
              socket);
    ChildProcess second({"/bin/bash", script, "--socket", socket, "--set-root-password"});
    EXPECT_EQ(second.wait(60s), 0) << second.output();
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM UlmetDB.ipwv", socket), "1");
    // The programs' login as an ordinary system user (no socket
    // authentication as root possible).
    if (!haveProgram("runuser")) return;
    chmod(server.dir().c_str(), 0755);
    ChildProcess login({"/usr/sbin/runuser", "-u", "nobody", "--", "mariadb", "--no-defaults",
                        "--socket=" + socket, "-uroot", "-pkzqvwp", "--batch",
                        "--skip-column-names", "-e", "SELECT COUNT(*) FROM UlmetDB.ipwv"});
    EXPECT_EQ(login.wait(30s), 0) << login.output();
    EXPECT_EQ(login.output(), "1\n");
}

}  // namespace
