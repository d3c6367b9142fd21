// The deployment: the systemd units pass systemd's own checker (against
// the programs of this build), keep the settings the station depends on,
// the install script stages a complete installation, and the database
// script creates the schema and changes the programs' account only when
// asked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
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

// "Section.Key" -> values (a key may repeat) of a unit file; also checks
// that every line is a comment, a section header or Key=value.
std::multimap<std::string, std::string> readUnit(const std::string& path,
                                                 std::vector<std::string>& badLines) {
    std::multimap<std::string, std::string> keys;
    std::ifstream in(path);
    std::string line, section;
    std::regex header(R"(^\[(Unit|Service|Timer|Install)\]$)");
    std::regex setting(R"(^([A-Za-z][A-Za-z0-9]*)=(.*)$)");
    std::smatch m;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (std::regex_match(line, m, header)) {
            section = m[1];
        } else if (!section.empty() && std::regex_match(line, m, setting)) {
            keys.emplace(section + "." + std::string(m[1]), m[2]);
        } else {
            badLines.push_back(path + ": " + line);
        }
    }
    return keys;
}

bool has(const std::multimap<std::string, std::string>& keys, const std::string& key,
         const std::string& value) {
    auto range = keys.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second.find(value) != std::string::npos) return true;
    return false;
}

TEST(Packaging, UnitsPassSystemdVerifyAgainstThisBuild) {
    if (!haveProgram("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    // The units name /usr/local/bin; the copies name this build's programs.
    TempDir dir("ulmet-units");
    for (const char* unit : {"corvana.service", "mistrel.service", "mistrel.timer"}) {
        std::string text = readFile(packaging(unit));
        ASSERT_FALSE(text.empty()) << unit;
        text = std::regex_replace(text, std::regex("/usr/local/bin/"), binDir() + "/");
        std::ofstream(dir.file(unit)) << text;
    }
    ChildProcess verify({"/usr/bin/systemd-analyze", "verify", dir.file("corvana.service"),
                         dir.file("mistrel.service"), dir.file("mistrel.timer")});
    ASSERT_EQ(verify.wait(60s), 0) << verify.output();
    // Unknown keys and unparsable values are only warnings for systemd.
    EXPECT_EQ(verify.output(), "");
}

TEST(Packaging, UnitsKeepTheStationsSettings) {
    std::vector<std::string> bad;
    auto corvana = readUnit(packaging("corvana.service"), bad);
    auto mistrel = readUnit(packaging("mistrel.service"), bad);
    auto timer = readUnit(packaging("mistrel.timer"), bad);
    EXPECT_TRUE(bad.empty()) << bad.front();

    // The daemon: restarted after every failure, forever, after a pause;
    // stopped with SIGINT (its stop sequence); its own user with the
    // serial group; the spool's directory; the device and the time scale.
    EXPECT_TRUE(has(corvana, "Service.Restart", "on-failure"));
    EXPECT_TRUE(has(corvana, "Service.RestartSec", "10"));
    EXPECT_TRUE(has(corvana, "Unit.StartLimitIntervalSec", "0"));
    EXPECT_TRUE(has(corvana, "Service.KillSignal", "SIGINT"));
    EXPECT_TRUE(has(corvana, "Service.User", "ulmet"));
    EXPECT_TRUE(has(corvana, "Service.SupplementaryGroups", "dialout"));
    EXPECT_TRUE(has(corvana, "Service.WorkingDirectory", "/var/lib/ulmet"));
    EXPECT_TRUE(has(corvana, "Service.Environment", "CORVANA_PORT=/dev/gnss-receiver"));
    EXPECT_TRUE(has(corvana, "Service.Environment", "TZ=UTC"));
    EXPECT_TRUE(has(corvana, "Unit.After", "mariadb.service"));
    EXPECT_TRUE(has(corvana, "Unit.Wants", "mariadb.service"));

    // The retrieval: one run, started at second 30 of every minute.
    EXPECT_TRUE(has(mistrel, "Service.Type", "oneshot"));
    EXPECT_TRUE(has(mistrel, "Service.Environment", "TZ=UTC"));
    EXPECT_TRUE(has(mistrel, "Service.User", "ulmet"));
    EXPECT_TRUE(has(timer, "Timer.OnCalendar", "*-*-* *:*:30"));
    EXPECT_TRUE(has(timer, "Timer.AccuracySec", "1s"));
    EXPECT_TRUE(has(timer, "Install.WantedBy", "timers.target"));

    // The drop-in example overrides the device.
    std::vector<std::string> badDropIn;
    auto dropIn = readUnit(packaging("corvana-override.conf"), badDropIn);
    EXPECT_TRUE(badDropIn.empty());
    EXPECT_TRUE(has(dropIn, "Service.Environment", "CORVANA_PORT="));

    // The udev example names the device the unit uses.
    std::string rules = readFile(packaging("99-gnss-receiver.rules"));
    EXPECT_NE(rules.find("SYMLINK+=\"gnss-receiver\""), std::string::npos);
    EXPECT_NE(rules.find("GROUP=\"dialout\""), std::string::npos);
}

TEST(Packaging, InstallScriptStagesACompleteInstallation) {
    TempDir stage("ulmet-stage");
    ChildProcess install(
        {"/bin/bash", packaging("install.sh"), "--build-dir", binDir(), "--destdir", stage.path()});
    ASSERT_EQ(install.wait(120s), 0) << install.output();

    for (const char* program : {"/usr/local/bin/Corvana", "/usr/local/bin/Mistrel",
                                "/usr/local/bin/ulmet-plot", "/usr/local/sbin/ulmet-install-db"}) {
        EXPECT_EQ(access((stage.path() + program).c_str(), X_OK), 0) << program;
    }
    for (const char* file :
         {"/usr/local/share/ulmet/schema.sql",
          "/usr/local/share/ulmet/examples/99-gnss-receiver.rules",
          "/usr/local/share/ulmet/examples/corvana-override.conf", "/etc/sysusers.d/ulmet.conf"}) {
        EXPECT_EQ(access((stage.path() + file).c_str(), R_OK), 0) << file;
    }
    std::string unit = readFile(stage.path() + "/etc/systemd/system/corvana.service");
    EXPECT_NE(unit.find("ExecStart=/usr/local/bin/Corvana\n"), std::string::npos);
    unit = readFile(stage.path() + "/etc/systemd/system/mistrel.service");
    EXPECT_NE(unit.find("ExecStart=/usr/local/bin/Mistrel\n"), std::string::npos);
    EXPECT_EQ(access((stage.path() + "/etc/systemd/system/mistrel.timer").c_str(), R_OK), 0);

    // The account file makes a system user ulmet in the group dialout.
    if (haveProgram("systemd-sysusers")) {
        TempDir root("ulmet-sysroot");
        ASSERT_EQ(mkdir(root.file("etc").c_str(), 0755), 0);
        std::ofstream(root.file("etc/group")) << "dialout:x:20:\n";
        std::ofstream(root.file("etc/passwd")) << "root:x:0:0:root:/root:/bin/bash\n";
        ChildProcess sysusers({"/bin/sh", "-c",
                               "systemd-sysusers --root='" + root.path() + "' - < '" +
                                   stage.path() + "/etc/sysusers.d/ulmet.conf'"});
        ASSERT_EQ(sysusers.wait(30s), 0) << sysusers.output();
        EXPECT_NE(readFile(root.file("etc/passwd")).find("ulmet:x:"), std::string::npos);
        EXPECT_NE(readFile(root.file("etc/group")).find("dialout:x:20:ulmet"), std::string::npos);
    }
}

// The database script on a server whose root account, like a fresh
// Debian installation's, accepts only the system's root through the
// socket: it creates the schema, refuses to touch the account unless
// asked, and then lets the programs' password in.
TEST(Packaging, InstallDbCreatesTheSchemaAndSetsThePasswordOnlyWhenAsked) {
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

    sql::exec("INSERT INTO UlmetDB.ipwv (ipwv_value, data) VALUES (1.5, '2024-05-06 10:00:00')",
              socket);
    ChildProcess second({"/bin/bash", script, "--socket", socket, "--set-root-password"});
    EXPECT_EQ(second.wait(60s), 0) << second.output();
    // Run again on an existing database: nothing is dropped.
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM UlmetDB.ipwv", socket), "1");
    // The programs' login as an ordinary system user (no socket
    // authentication as root possible).
    if (haveProgram("runuser") && getuid() == 0) {
        chmod(server.dir().c_str(), 0755);
        ChildProcess login({"/usr/sbin/runuser", "-u", "nobody", "--", "mariadb", "--no-defaults",
                            "--socket=" + socket, "-uroot", "-pkzqvwp", "--batch",
                            "--skip-column-names", "-e", "SELECT COUNT(*) FROM UlmetDB.ipwv"});
        EXPECT_EQ(login.wait(30s), 0) << login.output();
        EXPECT_EQ(login.output(), "1\n");
    }
}

}  // namespace
