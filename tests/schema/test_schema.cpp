#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "DbSettings.h"
#include "TestSupport.h"
#include "schema/Migrations.h"
#include "schema/Upgrade.h"

using namespace testsupport;
using schema::Shape;
using schema::Table;

namespace {

const char kDb[] = "utf8mb4_general_ci";  // the databases' default collation here

// A table of the station in one of its historical forms: `era` 0 the
// original columns (no id, DATETIME, MyISAM latin1), 1 the first schema
// (id, ASCII text time, index), 2 the UTF-8 text time; `indexes` and
// `columns` are added to that.
Table table(const std::string& name, int era, std::set<std::string> indexes = {},
            std::vector<std::string> columns = {}) {
    Table t;
    t.engine = era == 0 ? "MyISAM" : "InnoDB";
    t.collation = era == 0 ? "latin1_swedish_ci" : kDb;
    t.columns["data"] = era == 0   ? schema::Column{"datetime", "", true}
                        : era == 1 ? schema::Column{"char(19)", "ascii_bin", false}
                                   : schema::Column{"char(19)", "utf8mb4_bin", false};
    t.columns[name + "_value"] = {"double", "", true};
    if (era > 0) {
        t.columns["id"] = {"bigint(20) unsigned", "", false};
        t.indexes = {"PRIMARY", "idx_" + name + "_data"};
    }
    for (const std::string& i : indexes) t.indexes.insert(i);
    for (const std::string& c : columns) t.columns[c] = {"double", "", true};
    return t;
}

Shape shapeOf(int era) {
    Shape s{kDb, {}};
    for (const char* name : schema::kTables) s.tables[name] = table(name, era);
    return s;
}

// The current shape, from which cases take away.
Shape current() {
    Shape s = shapeOf(2);
    s.tables["troposphericDelay"].indexes.insert("uq_troposphericDelay_data_prn");
    for (const char* name : {"ipwv", "pressure", "temperature", "humidity"})
        s.tables[name].indexes = {"PRIMARY", std::string("uq_") + name + "_data"};
    for (const char* c :
         {"ipwv_sigma", "elevation", "prn", "satellites", "pressure", "temperature", "humidity"})
        s.tables["ipwv"].columns[c] = {"double", "", true};
    return s;
}

// What a database without history already has, for every shape a station
// may hold: the historical schemas, the mixtures an interrupted upgrade or
// a dropped table leave, and a database changed by hand.
TEST(Migrations, AnOldDatabasesShapeTellsWhichMigrationsItHas) {
    struct Case {
        const char* name;
        Shape shape;
        std::set<int> present;
    };
    std::vector<Case> cases = {
        {"empty", Shape{kDb, {}}, {}},
        {"original columns", shapeOf(0), {1}},
        {"first schema, ASCII times", shapeOf(1), {1}},
        {"UTF-8 times", shapeOf(2), {1, 2}},
        {"current", current(), {1, 2, 3, 4, 5, 6, 7}},
    };
    Shape s = shapeOf(2);
    s.tables["ipwv"].columns["ipwv_sigma"] = {"double", "", true};
    s.tables["troposphericDelay"].indexes.insert("uq_troposphericDelay_data_prn");
    cases.push_back({"delay key, sigma", s, {1, 2, 3, 4}});
    s = current();
    s.tables.erase("ipwv");
    cases.push_back({"ipwv dropped", s, {4, 7}});
    // The earlier schema of the upgrade test: no delay key, ipwv's seven
    // columns missing, pressure with its plain index.
    s = current();
    s.tables["troposphericDelay"].indexes.erase("uq_troposphericDelay_data_prn");
    s.tables["ipwv"] = table("ipwv", 2, {"uq_ipwv_data"});
    s.tables["ipwv"].indexes.erase("idx_ipwv_data");
    s.tables["pressure"] = table("pressure", 2);
    cases.push_back({"earlier schema", s, {1, 2, 5}});
    s = current();
    s.tables["ipwv"].indexes.insert("idx_ipwv_data");  // the plain index kept beside the key
    s.tables["gps"].engine = "MyISAM";
    cases.push_back({"index kept, MyISAM gps", s, {1, 3, 4, 6, 7}});
    s = current();
    s.tables["radiance"].collation = "latin1_swedish_ci";
    s.tables["humidity"].columns["data"].nullable = true;
    s.tables["ipwv"].columns.erase("satellites");
    cases.push_back({"latin1 radiance, NULL times, a column gone", s, {1, 3, 4, 5, 7}});
    for (const Case& c : cases) EXPECT_EQ(schema::presentIn(c.shape), c.present) << c.name;
}

// The migrations left after those applied, always in order; a history
// from a newer version is refused.
TEST(Migrations, PendingMigrationsComeInOrderAndAnUnknownOneIsRefused) {
    const struct {
        std::set<int> applied;
        std::vector<int> pending;
        const char* problem;
    } cases[] = {
        {{}, {1, 2, 3, 4, 5, 6, 7}, ""},
        {{1, 2, 5}, {3, 4, 6, 7}, ""},
        {{7, 1}, {2, 3, 4, 5, 6}, ""},
        {{1, 2, 3, 4, 5, 6, 7}, {}, ""},
        {{1, 8}, {}, "migration 8, unknown to this program (latest 7)"},
        {{0}, {}, "migration 0, unknown"},
    };
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_EQ(schema::pending(c.applied, &problem), c.pending);
        EXPECT_EQ(problem.empty(), c.problem[0] == '\0') << problem;
        EXPECT_THAT(problem, HasSubstr(c.problem));
    }
    // Names distinct (the numbers and tables: the history the migrations
    // write from nothing, in the test below).
    std::set<std::string> names;
    for (const schema::Migration& m : schema::migrations())
        EXPECT_TRUE(names.insert(m.name).second) << m.name;
}

std::string history(const std::string& db) {
    return sql::scalar("SELECT GROUP_CONCAT(number ORDER BY number) FROM " + db +
                       ".schema_history");
}

std::string definitions(const std::string& db) {
    std::string all;
    for (const char* t : schema::kTables)
        all += std::regex_replace(sql::rows("SHOW CREATE TABLE `" + db + "`." + t)[0][1],
                                  std::regex(" AUTO_INCREMENT=[0-9]+"), "");
    return all;
}

// On the shared server: the migrations make of nothing exactly the
// tables of db/schema.sql, record every one, and a second run changes
// nothing; a history from a newer version stops the upgrade; a failed
// migration is not recorded and the next run finishes it.
TEST(Migrations, FromNothingTheMigrationsGiveTheSchemaOnce) {
    sql::resetTables();
    sql::exec("DROP DATABASE IF EXISTS ulmet_migrated");
    MYSQL* conn = mysql_init(nullptr);
    ASSERT_NE(mysql_real_connect(conn, "localhost", "root", "kzqvwp", nullptr, 0, nullptr, 0),
              nullptr);
    auto upgrade = [&] {
        std::ostringstream out;
        schema::upgrade(conn, "ulmet_migrated", out);
        return out.str();
    };
    for (int run = 0; run < 2; ++run) {
        std::string out = upgrade();
        EXPECT_EQ(out.find("nothing to do") != std::string::npos, run == 1) << out;
        EXPECT_EQ(definitions("ulmet_migrated"), definitions("UlmetDB"));
        EXPECT_EQ(history("ulmet_migrated"), "1,2,3,4,5,6,7");
    }
    // A table of an older dump restored over it is upgraded again.
    sql::exec("DROP TABLE ulmet_migrated.humidity");
    sql::exec("CREATE TABLE ulmet_migrated.humidity (humidity_value DOUBLE, data DATETIME)");
    EXPECT_THAT(upgrade(), HasSubstr("migration 2 (row-ids-and-text-times) is "
                                     "recorded but the tables lack it"));
    EXPECT_EQ(definitions("ulmet_migrated"), definitions("UlmetDB"));
    sql::exec("INSERT INTO ulmet_migrated.schema_history VALUES (99, 'later', NOW())");
    EXPECT_THROW(upgrade(), std::runtime_error);

    // Original tables, a minute's IPWV twice, a GPS row without a time, and
    // an ipwv_duplicates that cannot take ipwv's rows: migration 5 fails,
    // is not recorded and loses nothing; once the obstacle is gone the next
    // run finishes.
    sql::exec("DROP DATABASE ulmet_migrated");
    sql::exec("CREATE DATABASE ulmet_migrated");
    const std::string m = "ulmet_migrated.";
    sql::exec("CREATE TABLE " + m + "ipwv (ipwv_value DOUBLE, data DATETIME) ENGINE=MyISAM");
    sql::exec("INSERT INTO " + m +
              "ipwv VALUES (1, '2018-05-06 00:01:00'), (2, '2018-05-06 00:01:00')");
    sql::exec("CREATE TABLE " + m + "gps (elevation DOUBLE, data DATETIME) ENGINE=MyISAM");
    sql::exec("INSERT INTO " + m + "gps VALUES (30, NULL), (31, '2018-05-06 00:01:00')");
    sql::exec("CREATE TABLE " + m + "ipwv_duplicates (x INT)");
    EXPECT_THROW(upgrade(), std::runtime_error);
    EXPECT_EQ(history("ulmet_migrated"), "1,2,3,4");
    EXPECT_EQ(sql::scalar("SELECT GROUP_CONCAT(ipwv_value ORDER BY id) FROM " + m + "ipwv"), "1,2");
    sql::exec("DROP TABLE " + m + "ipwv_duplicates");
    EXPECT_THAT(upgrade(), HasSubstr("1 later copies of a row moved to ipwv_duplicates"));
    EXPECT_EQ(history("ulmet_migrated"), "1,2,3,4,5,6,7");
    EXPECT_EQ(sql::scalar("SELECT GROUP_CONCAT(id, ':', ipwv_value) FROM " + m + "ipwv"), "1:1");
    EXPECT_EQ(sql::scalar("SELECT GROUP_CONCAT(id, ':', ipwv_value) FROM " + m + "ipwv_duplicates"),
              "2:2");
    EXPECT_EQ(sql::scalar("SELECT GROUP_CONCAT(id, ':', elevation) FROM " + m + "gps"), "2:31");
    EXPECT_EQ(sql::scalar("SELECT GROUP_CONCAT(id, ':', elevation) FROM " + m + "gps_duplicates"),
              "1:30");
    mysql_close(conn);
    sql::exec("DROP DATABASE ulmet_migrated");
}

// The values of [ulmet] as the client library takes them, for the
// scripts that hand them to the mariadb client.
TEST(Migrations, OptionFileValuesAreReadAsTheClientLibraryReadsThem) {
    TempDir dir;
    const std::string file = dir.file("db.cnf");
    std::ofstream(file) << "[client]\nssl\n[ulmet]\nuser = 'ulmet plot'\n"
                           "password=\"a\\\"b\\\\c#\" # why\nsocket=/run/x\\sy\nport=3307#\n";
    chmod(file.c_str(), 0600);
    setenv("ULMET_DB_CONFIG", file.c_str(), 1);
    DbOptionValues values;
    std::string problem;
    EXPECT_TRUE(dbOptionValues(&values, &problem)) << problem;
    EXPECT_EQ(values, (DbOptionValues{{"user", "ulmet plot"},
                                      {"password", "a\"b\\c#"},
                                      {"socket", "/run/x y"},
                                      {"port", "3307"}}));
    std::ofstream(file, std::ios::app) << "plugin-dir=/tmp\n";
    EXPECT_FALSE(dbOptionValues(&values, &problem));
    EXPECT_TRUE(values.empty());
    EXPECT_THAT(problem, HasSubstr("unknown key 'plugin-dir' in [ulmet]"));
    // A value written for the client (ulmet-db options --client-file) reads
    // back unchanged, here and in the client library.
    const std::string secret = "a \"b\\c\n\t\r\bd#'e";
    std::ofstream(file) << "[ulmet]\npassword=" << optionFileValue(secret) << "\n";
    EXPECT_TRUE(dbOptionValues(&values, &problem)) << problem;
    EXPECT_EQ(values, (DbOptionValues{{"password", secret}}));
    std::ofstream(file) << "[client]\npassword=" << optionFileValue(secret) << "\n";
    EXPECT_EQ(runToEnd({"/usr/bin/my_print_defaults", "--defaults-file=" + file, "client"}),
              "0|--password=" + secret + "\n");
    unsetenv("ULMET_DB_CONFIG");
}

}  // namespace
