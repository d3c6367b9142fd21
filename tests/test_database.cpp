#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

#include "Database.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

int connect(Database& db) { return db.openConnection("localhost", "UlmetDB", "root", "kzqvwp"); }

struct DatabaseTest : ::testing::Test {
    void SetUp() override { sql::resetTables(); }
};

// No row, a NULL and a failed statement are all "missing", never a value
// (the retrieval program tells a missing reading by them).
TEST_F(DatabaseTest, MissingValuesAreNeverReadAsValues) {
    Database db;
    ASSERT_EQ(connect(db), 200);
    for (const char* nothing :
         {"SELECT 1 FROM DUAL WHERE 0", "SELECT NULL", "SELECT x FROM nowhere"}) {
        SCOPED_TRACE(nothing);
        EXPECT_EQ(db.stringQuery(nothing), nullptr);
        EXPECT_EQ(db.intQuery(nothing), -1);
        EXPECT_FALSE(db.boolQuery(nothing));
    }
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

    // An account without the INSERT grant.
    sql::exec("CREATE USER IF NOT EXISTS ulmet_writer@localhost IDENTIFIED BY 'w'");
    sql::exec("GRANT SELECT ON UlmetDB.* TO ulmet_writer@localhost");
    Database writer;
    ASSERT_EQ(writer.openConnection("localhost", "UlmetDB", "ulmet_writer", "w"), 200);
    EXPECT_EQ(failure(writer, row), is(1142, F::Transient));
    sql::exec("DROP USER ulmet_writer@localhost");

    // A refused login, and a connection lost while its statement runs.
    EXPECT_EQ(writer.openConnection("localhost", "NoSuchDB", "root", "kzqvwp"), 202);
    EXPECT_EQ(failure(writer, ""), is(1049, F::Transient));
    // A statement that outlasts the read timeout (a hung server) loses
    // the connection.
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(db, "DO SLEEP(" + std::to_string(Database::kReadTimeoutSeconds + 4) + ")"),
              is(2013, F::Transient));
    EXPECT_LT(std::chrono::steady_clock::now() - begin,
              std::chrono::seconds(Database::kReadTimeoutSeconds + 2));
    // Not provoked here: a read-only server, a refused login (the accounts'
    // end-to-end test does), deadlock, full table or disk, too many
    // connections, and the client's own errors.
    for (unsigned int n : {1290u, 1045u, 1213u, 1114u, 1021u, 1040u, 2002u, 2006u, 2026u})
        EXPECT_EQ(Database::classify(n), F::Transient) << n;
}

// No connection lets the server read a client file (LOAD DATA LOCAL).
TEST_F(DatabaseTest, NoLocalFileReachesTheServer) {
    TempDir dir("ulmet-infile");
    const std::string file = dir.file("rows.txt");
    std::ofstream(file) << "1\n2\n";
    Database db;
    ASSERT_EQ(connect(db), 200);
    const std::string statement = "LOAD DATA LOCAL INFILE '" + file +
                                  "' INTO TABLE pressure (@v) SET pressure_value = @v, data = "
                                  "'2014-03-05 14:07:00'";
    EXPECT_TRUE(db.updateQuery(statement.c_str()));
    EXPECT_NE(db.errorNumber(), 0u);
    db.disconnect();
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM pressure"), "0");
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
        if (connect(db) != 200) {
            out = std::to_string(db.errorNumber()) + ": " + db.errorMessage();
            EXPECT_TRUE(db.updateQuery("DO 1"));  // a failed connection is safe to use
        } else if (char* text = db.stringQuery("SELECT CONCAT(CURRENT_USER(), ' ', DATABASE())")) {
            out = text;
            std::free(text);
        }
        unsetenv("ULMET_DB_CONFIG");
        return out;
    };
    EXPECT_EQ(login("[ulmet]\n"), "root@localhost UlmetDB");
    EXPECT_EQ(login("# station\n; comments\n[client]\ndefault-character-set=utf8mb4\n[ulmet]\n"
                    "user = cnf_test\npassword=\"a\\\"b\\\\c\"\n"),
              "cnf_test@localhost UlmetDB");
    EXPECT_EQ(login("[ulmet]\ndatabase=information_schema\n"), "root@localhost information_schema");
    // Files that cannot be used: each refusal names the file and the problem.
    std::string refusals;
    for (const char* content :
         {"user=cnf_test\n[ulmet]\n", "[ulmet]\nusr=cnf_test\n", "[ulmet]\nport=33o6\n",
          "[ULMET]\n", "[client]\ndefault-character-set=utf8mb4\n",
          "[ulmet]\n!include /etc/mysql/debian.cnf\n", "[ulmet]\n!includedir /tmp\n", "[ulmet\n",
          "[ulmet]\nuser=cnf_test\n[client]\nuser=root\n", "[client]\nplugin_dir=/tmp\n[ulmet]\n"})
        refusals += std::regex_replace(login(content), std::regex(file), "FILE") + "\n";
    expectGolden("golden/option-file-refusals.txt", refusals);
    sql::exec("DROP USER cnf_test@localhost");
}

}  // namespace
