#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "Database.h"
#include "DbSettings.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

int connect(Database& db) { return db.openConnection("localhost", "UlmetDB", "root", "kzqvwp"); }

// The client library reads MYSQL_UNIX_PORT once per process: the
// unreachable server is tried in a fresh one.
void unreachableServerChecks() {
    setenv("MYSQL_UNIX_PORT", "/tmp/ulmet-nothing-listens-here.sock", 1);
    Database db;
    bool ok = connect(db) == 202 && Database::isConnectionError(db.errorNumber()) &&
              db.updateQuery("DO 1") && Database::isConnectionError(db.errorNumber()) &&
              db.query("SELECT 1") == nullptr && db.intQuery("SELECT 1") == -1 && db.disconnect();
    std::exit(ok ? 0 : 1);
}

TEST(DatabaseOffline, UnreachableOrNeverConnectedFailsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(unreachableServerChecks(), ::testing::ExitedWithCode(0), "");
    Database never;
    EXPECT_TRUE(never.updateQuery("SELECT 1"));
    EXPECT_EQ(never.query("SELECT 1"), nullptr);
    EXPECT_TRUE(never.disconnect());
    EXPECT_STREQ(dberror(202), "202 CONNECTION ERROR: CANNOT ACCESS THE SERVER");
    EXPECT_STREQ(dberror(203), "203 DATABASE ERROR: QUERY FAILED");
    EXPECT_EQ(dberror(204), nullptr);
}

class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override { sql::resetTables(); }
};

TEST_F(DatabaseTest, StatementsResultSetsAndSingleValues) {
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (NULL, '2018-05-06 00:01:00')");
    Database db;
    ASSERT_EQ(connect(db), 200);
    ASSERT_EQ(connect(db), 200);  // closes the first connection first
    EXPECT_FALSE(db.updateQuery("INSERT INTO ipwv (ipwv_value, data) VALUES (2.5, 'a');"));
    EXPECT_TRUE(db.updateQuery("INSERT INTO no_such_table (x) VALUES (1);"));
    EXPECT_FALSE(Database::isConnectionError(db.errorNumber()));
    MYSQL_RES* res = db.query("SELECT 7");
    ASSERT_NE(res, nullptr);
    EXPECT_STREQ(mysql_fetch_row(res)[0], "7");
    EXPECT_TRUE(db.free());
    EXPECT_FALSE(db.free());

    char* text = db.stringQuery("SELECT data FROM ipwv WHERE ipwv_value = 2.5");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "a");  // outlives the released result set
    std::free(text);
    EXPECT_EQ(db.intQuery("SELECT 42"), 42);
    EXPECT_TRUE(db.boolQuery("SELECT 1"));
    EXPECT_TRUE(db.free());  // boolQuery keeps its result set
    for (const char* nothing : {"SELECT id FROM ipwv WHERE ipwv_value = 99",  // no row
                                "SELECT ipwv_value FROM ipwv WHERE data = '2018-05-06 00:01:00'",
                                "SELECT nonsense FROM nowhere"}) {
        SCOPED_TRACE(nothing);
        EXPECT_EQ(db.stringQuery(nothing), nullptr);
        EXPECT_EQ(db.intQuery(nothing), -1);
        EXPECT_FALSE(db.boolQuery(nothing));
    }
    db.disconnect();
}

// Both minute look-ups of the retrieval program must use the index on
// `data`, or a year of rows makes every run scan whole tables.
TEST_F(DatabaseTest, MinuteLookUpsUseTheIndex) {
    for (int i = 0; i < 200; ++i) {
        char stamp[32];
        snprintf(stamp, sizeof(stamp), "2014-03-05 %02d:%02d:00", i / 60, i % 60);
        sql::exec(std::string("INSERT INTO pressure (pressure_value, data) VALUES (1000, '") +
                  stamp + "')");
    }
    sql::exec("ANALYZE TABLE pressure");
    for (const char* table : {"pressure", "temperature", "humidity", "radiance", "raingauge", "gps",
                              "ipwv", "troposphericDelay"}) {
        std::string from = std::string("EXPLAIN SELECT * FROM ") + table;
        auto like = sql::rows(from + " WHERE data LIKE '2014-03-05 01:07%'");
        auto equal = sql::rows(from + " WHERE data = '2014-03-05 01:07:00'");
        // Columns: id, select_type, table, type, possible_keys, key, ...
        EXPECT_EQ(like.at(0)[3] + " " + equal.at(0)[3], "range ref") << table;
        EXPECT_NE(like[0][5].find("_data"), std::string::npos) << table;
        EXPECT_NE(equal[0][5].find("_data"), std::string::npos) << table;
    }
}

// The login comes from the option file named by ULMET_DB_CONFIG, key by
// key over the built-in one; a file that cannot be used is an error that
// names it, and no login is tried then (never the built-in one instead).
TEST_F(DatabaseTest, OptionFileLogin) {
    TempDir dir("ulmet-cnf");
    sql::exec("CREATE USER IF NOT EXISTS cnf_test@localhost IDENTIFIED BY 'a\"b\\\\c'");  // a"b\c
    sql::exec("GRANT SELECT ON UlmetDB.ipwv TO cnf_test@localhost");
    const std::string file = dir.file("db.cnf");
    // "user@host database", or "code: message" when the connection failed.
    auto login = [&](const std::string& content) {
        std::ofstream(file) << content;
        setenv("ULMET_DB_CONFIG", file.c_str(), 1);
        Database db;
        std::string out;
        if (connect(db) != 200)
            out = std::to_string(db.errorNumber()) + ": " + db.errorMessage();
        else
            out = db.stringQuery("SELECT CONCAT(CURRENT_USER(), ' ', DATABASE())");
        db.disconnect();
        unsetenv("ULMET_DB_CONFIG");
        return out;
    };
    EXPECT_EQ(login("[ulmet]\n"), "root@localhost UlmetDB");
    EXPECT_EQ(login("# station\n[client]\n[ulmet]\nuser = cnf_test\npassword=\"a\\\"b\\\\c\"\n"),
              "cnf_test@localhost UlmetDB");
    EXPECT_EQ(login("[ulmet]\ndatabase=information_schema\n"), "root@localhost information_schema");
    EXPECT_EQ(login("[ulmet]\nuser=cnf_test\npassword=wrong\n"),
              "1045: Access denied for user 'cnf_test'@'localhost' (using password: YES)");
    // A directory stands for an unreadable file: permissions do not stop root.
    const std::pair<std::string, std::string> bad[] = {
        {"[ulmet\nuser=cnf_test\n", "group header without ']' (line 1)"},
        {"user=cnf_test\n[ulmet]\n", "setting before the first [group] (line 1)"},
        {"[ulmet]\nusr=cnf_test\n", "unknown key 'usr' in [ulmet] (line 2)"},
        {"[ulmet]\nport=33o6\n", "port is not a number (line 2)"}};
    for (const auto& [content, problem] : bad)
        EXPECT_EQ(login(content), "2002: database option file " + file + ": " + problem);
    for (const auto& [path, problem] :
         {std::pair<std::string, std::string>{dir.file("none.cnf"), "No such file or directory"},
          {dir.path(), "not a regular file"}}) {
        setenv("ULMET_DB_CONFIG", path.c_str(), 1);
        Database db;
        EXPECT_EQ(connect(db), 202);
        EXPECT_EQ(db.errorMessage(), "database option file " + path + ": " + problem);
        EXPECT_TRUE(db.updateQuery("DO 1"));  // the reason stays
        EXPECT_EQ(db.errorMessage(), "database option file " + path + ": " + problem);
        unsetenv("ULMET_DB_CONFIG");
    }
    sql::exec("DROP USER cnf_test@localhost");
}

}  // namespace
