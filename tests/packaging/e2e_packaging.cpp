// The systemd units pass systemd's own checker against this build's
// programs; the database script changes the programs' account only when
// asked, and brings a database made with the earlier schema to the
// current one without losing a row.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// The units pass systemd's own checker against this build's programs,
// warnings included, and every service runs hardened: systemd's rating of
// what it may reach (0 closed ... 10 open) stays at most 2.0.
TEST(Packaging, UnitsPassSystemdVerifyAndAreHardened) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
    TempDir dir("ulmet-units");
    std::vector<std::string> argv = {"/usr/bin/systemd-analyze", "verify"};
    for (const std::string unit :
         {"corvana.service", "mistrel.service", "mistrel.timer", "ulmet-web.service",
          "ulmet-weather.service", "ulmet-network-sync.service"}) {
        const std::string source = sourceDir() + "/packaging/" + unit;
        std::ofstream(dir.file(unit)) << std::regex_replace(
            readFile(source), std::regex("/usr/local/s?bin/"), binDir() + "/");
        argv.push_back(dir.file(unit));
        if (unit == "mistrel.timer") continue;
        const std::string out =
            runToEnd({"/usr/bin/systemd-analyze", "security", "--offline=true", source});
        std::smatch level;
        ASSERT_TRUE(std::regex_search(
            out, level, std::regex("Overall exposure level for " + unit + ": ([0-9]+\\.[0-9])")))
            << out;
        EXPECT_LE(std::stod(level[1]), 2.0) << unit << "\n" << out;
    }
    EXPECT_EQ(runToEnd(argv), "0|");
}

// The dependency check of scripts/package-check on a small package of its
// own: a program linking the MariaDB library, a unit naming Chart.js and a
// shell program running gnuplot. Each use that its control file does not
// declare is named; declared, the package passes.
TEST(Packaging, DependencyCheckNamesEveryUndeclaredUse) {
    if (access("/usr/bin/dpkg-deb", X_OK) != 0 ||
        access("/usr/share/javascript/chart.js/chart.min.js", R_OK) != 0 ||
        access("/usr/bin/gnuplot", X_OK) != 0)
        GTEST_SKIP() << "needs dpkg-deb, libjs-chart.js and gnuplot (scripts/setup)";
    TempDir dir("ulmet-deps");
    const std::string tree = dir.file("tree");
    for (const char* d : {"/DEBIAN", "/usr/bin", "/lib/systemd/system"})
        std::filesystem::create_directories(tree + d);
    // Stripped, as debhelper strips a package's programs: the debugging
    // sections name the build's header directories.
    ASSERT_EQ(
        runToEnd({"/usr/bin/strip", "-o", tree + "/usr/bin/probe", binDir() + "/receiver_sim"}),
        "0|");
    std::ofstream(tree + "/usr/bin/probe-plot") << "#!/bin/sh\n# it's a plot\n"
                                                   "echo 'plot x' | gnuplot -p\n";
    ASSERT_EQ(runToEnd({"/bin/chmod", "755", tree + "/usr/bin/probe-plot"}), "0|");
    std::ofstream(tree + "/lib/systemd/system/probe.service")
        << "[Service]\nExecStart=/usr/bin/probe --chart "
           "/usr/share/javascript/chart.js/chart.min.js\n";
    auto build = [&](const std::string& depends) {
        std::ofstream(tree + "/DEBIAN/control")
            << "Package: ulmet-deps-probe\nVersion: 1\nArchitecture: amd64\n"
               "Maintainer: Test <test@example.org>\nDepends: "
            << depends << "\nDescription: probe\n probe\n";
        EXPECT_EQ(
            runToEnd({"/usr/bin/dpkg-deb", "--root-owner-group", "-b", tree, dir.file("probe.deb")})
                .substr(0, 2),
            "0|");
        return runToEnd({sourceDir() + "/scripts/deb-deps", dir.file("probe.deb")});
    };
    std::string out = build("libc6");
    EXPECT_EQ(out.substr(0, 2), "1|") << out;
    for (const char* missing :
         {"library /lib/x86_64-linux-gnu/libmariadb.so.3 comes from libmariadb3",
          "comes from libstdc++6",
          "path /usr/share/javascript/chart.js/chart.min.js comes from "
          "libjs-chart.js",
          "command /usr/bin/gnuplot comes from gnuplot-nox"})
        EXPECT_THAT(out, HasSubstr(missing)) << missing << "\n" << out;
    out = build("libc6, libstdc++6, libgcc-s1, libmariadb3, libjs-chart.js, gnuplot-nox");
    EXPECT_EQ(out.substr(0, 2), "0|") << out;

    // The build's side: the packages of the pkg-config modules that the
    // project's CMake files require are in Build-Depends.
    std::ofstream(dir.file("control")) << "Source: ulmet\nBuild-Depends: debhelper-compat (= 13),\n"
                                          " cmake, libmariadb-dev\n";
    out = runToEnd(
        {sourceDir() + "/scripts/deb-deps", "--build-depends", dir.file("control"), sourceDir()});
    EXPECT_EQ(out.substr(0, 2), "1|") << out;
    EXPECT_THAT(out,
                HasSubstr("module libsystemd comes from libsystemd-dev, which Build-Depends lacks"))
        << out;
    out = runToEnd({sourceDir() + "/scripts/deb-deps", "--build-depends",
                    sourceDir() + "/packaging/debian/control", sourceDir()});
    EXPECT_EQ(out.substr(0, 2), "0|") << out;
}

// What the scripts learn of the option file from ulmet-db: each key once,
// with the value the client library takes (the last given), for the
// client too.
TEST(Packaging, TheScriptsGetTheLoginTheClientLibraryTakes) {
    TempDir dir("ulmet-options");
    const std::string file = dir.file("db.cnf"), client = dir.file("client.cnf");
    std::ofstream(file) << "[ulmet]\nsocket=/run/first\nuser=u\nsocket=/run/last\n";
    ASSERT_EQ(runToEnd({"/bin/chmod", "600", file}), "0|");
    const std::vector<std::string> env = {"ULMET_DB_CONFIG=" + file};
    EXPECT_EQ(runToEnd({binDir() + "/ulmet-db", "options"}, env), "0|user=u\nsocket=/run/last\n");
    EXPECT_EQ(runToEnd({binDir() + "/ulmet-db", "options", "--client-file", client}, env), "0|");
    EXPECT_EQ(
        readFile(client),
        "[client]\nuser=\"u\"\npassword=\"kzqvwp\"\ndatabase=\"UlmetDB\"\nsocket=\"/run/last\"\n");
}

const char* const kTables[] = {"troposphericDelay", "gps",      "ipwv",     "pressure",
                               "temperature",       "humidity", "radiance", "raingauge"};

// A private server and the set-up script run on it.
struct InstallDb : ::testing::Test {
    void exec(const std::string& statement) { sql::exec(statement, socket); }
    std::string install(const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {"/bin/bash", sourceDir() + "/scripts/install-db",
                                         "--socket", socket};
        argv.insert(argv.end(), options.begin(), options.end());
        return runToEnd(argv);
    }
    // Every table's definition without the AUTO_INCREMENT counter, which rows move.
    std::string definitions() {
        std::string all;
        for (const char* t : kTables)
            all +=
                std::regex_replace(sql::rows(std::string("SHOW CREATE TABLE ") + t, socket)[0][1],
                                   std::regex(" AUTO_INCREMENT=[0-9]+"), "") +
                "\n";
        return all;
    }
    // The rows of `query`, a line each.
    std::string content(const std::string& query) {
        std::string text;
        for (const auto& r : sql::rows(query, socket)) {
            for (const auto& v : r) text += v + " ";
            text += "\n";
        }
        return text;
    }
    // install-db run twice on the database a test made: each run ends well
    // and leaves the definitions of a fresh install, the rows of `tables`
    // are those of the golden file, and only the first run says each of
    // `firstRunOnly`.
    void upgradeTwice(const std::vector<std::string>& tables, const std::string& golden,
                      const std::vector<std::string>& firstRunOnly) {
        for (int run = 0; run < 2; ++run) {
            const std::string out = install();
            ASSERT_EQ(out.substr(0, 2), "0|") << out;
            for (const std::string& said : firstRunOnly)
                EXPECT_EQ(out.find(said) != std::string::npos, run == 0) << said << "\n" << out;
            EXPECT_EQ(definitions(), fresh);
            std::string rows;
            for (const std::string& t : tables)
                rows += t + "\n" + content("SELECT * FROM " + t + " ORDER BY id");
            expectGolden("packaging/golden/" + golden, rows);
        }
    }
    // Runs the SQL file tests/packaging/golden/`name` with the mariadb client.
    void source(const std::string& name) {
        const std::string out = runToEnd(
            {"/bin/sh", "-c", "mariadb --defaults-file=\"$0\" --socket=\"$2\" < \"$1\"",
             server.dir() + "/admin.cnf", sourceDir() + "/tests/packaging/golden/" + name, socket});
        ASSERT_EQ(out.substr(0, 2), "0|") << name << ": " << out;
    }
    PrivateServer server;
    const std::string socket = server.socket();
    const std::string fresh = definitions();  // the tables of a fresh install
};

// A server whose root, like a fresh Debian one's, accepts only the
// system's root through the socket.
TEST_F(InstallDb, SetsThePasswordOnlyWhenAsked) {
    if (getuid() != 0) GTEST_SKIP() << "needs the system root for socket authentication";
    exec("DROP TABLE ipwv");
    exec(
        "ALTER USER root@localhost IDENTIFIED VIA mysql_native_password USING 'invalid' "
        "OR unix_socket");
    const std::string first = install();
    EXPECT_EQ(first.substr(0, 2), "3|") << first;
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM UlmetDB.ipwv", socket), "0");  // recreated
    EXPECT_THAT(sql::scalar("SHOW CREATE USER root@localhost", socket), HasSubstr("'invalid'"));
    const std::string second = install({"--set-root-password"});
    EXPECT_EQ(second.substr(0, 2), "0|") << second;
    EXPECT_THAT(sql::scalar("SHOW CREATE USER root@localhost", socket),
                Not(HasSubstr("'invalid'")));
}

// A database made by the previous release's schema (a copy of it:
// golden/schema-previous.sql), with rows in every table and a reading
// stored twice in each weather table, which then had a plain index on the
// time (golden/previous-release-rows.sql): the set-up script gives every
// table the definition of a fresh install, twice without harm, and keeps
// every row (the later readings whole in the _duplicates tables; ipwv's
// provenance kept, its new weather columns empty).
TEST_F(InstallDb, UpgradesThePreviousReleaseWithItsRows) {
    exec("DROP DATABASE UlmetDB");
    source("schema-previous.sql");
    source("previous-release-rows.sql");
    std::vector<std::string> tables(std::begin(kTables), std::end(kTables));
    tables.insert(tables.end(),
                  {"pressure_duplicates", "temperature_duplicates", "humidity_duplicates"});
    upgradeTwice(tables, "upgraded-previous-release.txt",
                 {"1 later copies of a row moved to pressure_duplicates"});
}

// A database made by the last release that set its tables up from the
// schema file alone (golden/schema-before-migrations.sql: today's
// definitions, no schema_history), with rows in every table
// (golden/before-migrations-rows.sql): the set-up script records every
// migration as one the tables already have, alters and moves nothing, and
// keeps every row, twice without harm.
TEST_F(InstallDb, RecordsTheLastReleasesTablesAsMigratedAndKeepsTheirRows) {
    exec("DROP DATABASE UlmetDB");
    source("schema-before-migrations.sql");
    source("before-migrations-rows.sql");
    upgradeTwice(std::vector<std::string>(std::begin(kTables), std::end(kTables)),
                 "upgraded-before-migrations.txt",
                 {"its tables have migrations 1, 2, 3, 4, 5, 6, 7 (recorded)"});
}

// A database in the original shape (golden/original-shape.sql: the columns
// the programs name and nothing else), with rows in every table and copies
// of a minute's rows in troposphericDelay and ipwv. The set-up script gives
// every table exactly the definition of a fresh install, twice without
// harm; every row is kept in its order of arrival, the later copies whole
// in the tables' _duplicates; a minute's value cannot be stored twice then.
TEST_F(InstallDb, UpgradesTheOriginalShape) {
    source("original-shape.sql");
    // The retrieval on the old tables names the command that upgrades them.
    if (!faketimeLibrary().empty()) {
        struct tm minute = {30, 1, 0, 6, 4, 118, 0, 0, 0, 0, nullptr};
        std::vector<std::string> env = faketimeEnv(timegm(&minute) - time(nullptr));
        env.insert(env.end(), {"TZ=UTC", "MYSQL_UNIX_PORT=" + socket});
        const std::string old = runToEnd({binDir() + "/Mistrel"}, env);
        EXPECT_THAT(old, HasSubstr("database not upgraded: run ulmet-install-db")) << old;
    }
    // Every row, the later copies whole in the _duplicates tables.
    upgradeTwice(
        {"troposphericDelay", "troposphericDelay_duplicates", "gps", "ipwv", "ipwv_duplicates",
         "pressure", "temperature", "humidity", "radiance", "raingauge"},
        "upgraded-original-shape.txt",
        {"upgrading table", "2 later copies of a row moved to troposphericDelay_duplicates"});
    // A later copy of a minute's value is now refused as a duplicate.
    EXPECT_THROW(exec("INSERT INTO ipwv (ipwv_value, data) VALUES (2, '2018-05-06 00:02:00')"),
                 std::runtime_error);
}

}  // namespace
