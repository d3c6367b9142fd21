#include <gtest/gtest.h>

#include <chrono>
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
    auto kept = [&] {
        return Database::classify(db.errorNumber()) == Database::Failure::Transient;
    };
    bool ok = connect(db) == 202 && kept() && db.updateQuery("DO 1") && kept() &&
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
    EXPECT_EQ(db.errorNumber(), 1146u);
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

// Every failure of a row's INSERT that can be provoked on a real server,
// and what it means for the row: only a statement the server condemns for
// its own sake is dropped, a duplicate counts as stored, anything that
// describes the server's state keeps the row.
TEST_F(DatabaseTest, FailuresAreClassifiedByWhatTheySayAboutTheRow) {
    using F = Database::Failure;
    const std::string insert =
        "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, longitudeErr, "
        "heightErr, prn, elevation, td, data) VALUES (45.5, 7.25, 80.5, 1.5, 1.25, 3.0, ";
    const std::string row = insert + "12, 45.0, 2.35, '2018-05-06 00:01:00')";
    using is = std::pair<unsigned int, F>;  // the error number and its class
    auto failure = [](Database& db, const std::string& statement) {
        if (!statement.empty()) db.updateQuery(statement.c_str());
        return is{db.errorNumber(), Database::classify(db.errorNumber())};
    };
    Database db;
    ASSERT_EQ(connect(db), 200);
    EXPECT_EQ(failure(db, row), is(0, F::None));
    EXPECT_EQ(failure(db, row), is(1062, F::Duplicate));
    for (const auto& [values, number] : std::vector<std::pair<const char*, unsigned int>>{
             {"12, 45.0, nan, '2018-05-06 00:02:00')", 1054},
             {"12, 45.0, 2.3,, '2018-05-06 00:02:00')", 1064},
             {"12, 45.0, 2.3, '2018-05-06 00:02:00.000000')", 1406},
             {"99999999999, 45.0, 2.3, '2018-05-06 00:02:00')", 1264},
             {"'x', 45.0, 2.3, '2018-05-06 00:02:00')", 1366}})
        EXPECT_EQ(failure(db, insert + values), is(number, F::Condemned));

    // The table renamed away, then locked by another session for longer
    // than the session's lock wait.
    sql::exec("RENAME TABLE troposphericDelay TO troposphericDelay_away");
    EXPECT_EQ(failure(db, row), is(1146, F::Transient));
    sql::exec("RENAME TABLE troposphericDelay_away TO troposphericDelay");
    {
        sql::Session locker;
        ASSERT_EQ(locker.run("LOCK TABLES troposphericDelay WRITE"), 0u);
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(failure(db, row), is(1205, F::Transient));
        EXPECT_LT(std::chrono::steady_clock::now() - begin,
                  std::chrono::seconds(Database::kLockWaitSeconds + 3));
    }

    // An account without the INSERT grant, then with it on a read-only server.
    sql::exec("CREATE USER IF NOT EXISTS ulmet_writer@localhost IDENTIFIED BY 'w'");
    sql::exec("GRANT SELECT ON UlmetDB.* TO ulmet_writer@localhost");
    Database writer;
    ASSERT_EQ(writer.openConnection("localhost", "UlmetDB", "ulmet_writer", "w"), 200);
    EXPECT_EQ(failure(writer, row), is(1142, F::Transient));
    sql::exec("GRANT INSERT ON UlmetDB.* TO ulmet_writer@localhost");
    sql::exec("SET GLOBAL read_only = 1");
    ASSERT_EQ(writer.openConnection("localhost", "UlmetDB", "ulmet_writer", "w"), 200);
    const is readOnly = failure(writer, row);
    sql::exec("SET GLOBAL read_only = 0");
    sql::exec("DROP USER ulmet_writer@localhost");
    EXPECT_EQ(readOnly, is(1290, F::Transient));

    // Refused logins, and a connection lost while its statement runs.
    EXPECT_EQ(writer.openConnection("localhost", "UlmetDB", "root", "wrong"), 202);
    EXPECT_EQ(failure(writer, ""), is(1045, F::Transient));
    EXPECT_EQ(writer.openConnection("localhost", "NoSuchDB", "root", "kzqvwp"), 202);
    EXPECT_EQ(failure(writer, ""), is(1049, F::Transient));
    // A statement that outlasts the read timeout (a hung server) loses
    // the connection; the session's lock waits are short.
    ASSERT_EQ(connect(db), 200);
    EXPECT_EQ(db.intQuery("SELECT @@lock_wait_timeout * 1000 + @@innodb_lock_wait_timeout"),
              static_cast<int>(Database::kLockWaitSeconds) * 1001);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(db, "DO SLEEP(" + std::to_string(Database::kReadTimeoutSeconds + 4) + ")"),
              is(2013, F::Transient));
    EXPECT_LT(std::chrono::steady_clock::now() - begin,
              std::chrono::seconds(Database::kReadTimeoutSeconds + 2));

    // What cannot be provoked here: deadlock, full table or disk, too
    // many connections, and the client's own errors.
    for (unsigned int n : {1213u, 1114u, 1021u, 1040u, 2002u, 2006u, 2013u, 2026u})
        EXPECT_EQ(Database::classify(n), F::Transient) << n;
}

// Both minute look-ups of the retrieval program must use the index on
// `data`, or a year of rows makes every run scan whole tables.
TEST_F(DatabaseTest, MinuteLookUpsUseTheIndex) {
    sql::exec(
        "INSERT INTO pressure (pressure_value, data) SELECT 1000, '2014-03-05' + INTERVAL "
        "seq MINUTE FROM seq_0_to_199");
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
        else if (char* text = db.stringQuery("SELECT CONCAT(CURRENT_USER(), ' ', DATABASE())")) {
            out = text;
            std::free(text);
        }
        db.disconnect();
        unsetenv("ULMET_DB_CONFIG");
        return out;
    };
    EXPECT_EQ(login("[ulmet]\n"), "root@localhost UlmetDB");
    EXPECT_EQ(login("# station\n; comments\n[client]\ndefault-character-set=utf8mb4\n[ulmet]\n"
                    "user = cnf_test\npassword=\"a\\\"b\\\\c\"\n"),
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
