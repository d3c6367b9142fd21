// The least-privilege set-up end to end on a private server whose root has
// no password at all (it logs in through the Unix socket only, as on a
// fresh Debian server): install-db makes the accounts and their option
// files, the real programs and tools log in through those files, and the
// server's general log shows which account ran each statement.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Acquisition.h"
#include "Database.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

// The server, the option files (socket/ from the default run of install-db,
// password/ from --passwords) and a working directory, shared by the tests.
struct Station {
    Station() {
        sql::exec("ALTER USER root@localhost IDENTIFIED VIA unix_socket", server.socket());
        socketAuth = installDb({"--config-dir", dir.file("socket")});
        passwordAuth = installDb({"--passwords", "--config-dir", dir.file("password")});
        sql::exec("SET GLOBAL log_output = 'TABLE', general_log = 'ON'", server.socket());
    }
    std::string installDb(std::vector<std::string> extra) {
        std::vector<std::string> argv = {"/bin/bash", sourceDir() + "/scripts/install-db",
                                         "--socket", server.socket(), "--accounts"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runToEnd(argv);
    }
    std::string file(const std::string& name) const { return dir.file("password/" + name); }
    // Who ran the statements that start with `text`, as the server logged them.
    std::set<std::string> ranBy(const std::string& text) const {
        std::set<std::string> users;
        for (const auto& r : sql::rows("SELECT SUBSTRING_INDEX(user_host, '[', 1) FROM "
                                       "mysql.general_log WHERE argument LIKE '" +
                                           text + "%'",
                                       server.socket()))
            users.insert(r[0]);
        return users;
    }

    PrivateServer server;
    TempDir dir{"ulmet-accounts"};
    std::string socketAuth, passwordAuth;
};

Station& station() {
    static Station s;
    return s;
}

class Accounts : public ::testing::Test {
  protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "needs the system root for socket authentication";
        const std::string& socket = station().server.socket();
        sql::resetTables(socket);
        // Each test reads only its own statements from the general log.
        sql::exec("SET GLOBAL general_log = 'OFF'", socket);
        sql::exec("TRUNCATE TABLE mysql.general_log", socket);
        sql::exec("SET GLOBAL general_log = 'ON'", socket);
    }
    // A run of a program with the option file `config`; no default socket
    // (MYSQL_UNIX_PORT points nowhere): the file names the server's.
    std::string run(const std::vector<std::string>& argv, const std::string& config,
                    std::vector<std::string> env = {}) {
        env.insert(env.end(), {"ULMET_DB_CONFIG=" + config, "TZ=UTC",
                               "MYSQL_UNIX_PORT=/nonexistent/mysqld.sock"});
        return runToEnd(argv, env, station().dir.path());
    }
};

// install-db makes one account per writer, each can do its job and nothing more.
TEST_F(Accounts, EachAccountDoesItsJobAndNothingMore) {
    const Station& s = station();
    ASSERT_EQ(s.socketAuth.substr(0, 2) + s.passwordAuth.substr(0, 2), "0|0|")
        << s.socketAuth << s.passwordAuth;
    // A package upgrade runs install-db without options: on a station with
    // accounts it has no login to complain about.
    const std::string upgrade =
        runToEnd({"/bin/bash", sourceDir() + "/scripts/install-db", "--socket", s.server.socket()});
    EXPECT_EQ(upgrade.substr(0, 2), "0|") << upgrade;
    // No password printed; the first run made the socket logins.
    EXPECT_THAT(s.passwordAuth, Not(HasSubstr("password=")));
    EXPECT_THAT(s.socketAuth,
                HasSubstr("account ulmet-ipwv (Unix socket as system user ulmet-ipwv)"))
        << s.socketAuth;
    // Every account's files, then the account against the same statements:
    // the error number of each (0 ran, 1142 command denied).
    std::vector<std::string> statements = {"DELETE FROM troposphericDelay", "DELETE FROM ipwv"};
    for (const char* t :
         {"troposphericDelay", "ipwv", "gps", "pressure", "temperature", "humidity"}) {
        statements.push_back(std::string("INSERT INTO ") + t +
                             " (data) VALUES ('2014-03-05 14:07')");
        statements.push_back(std::string("SELECT * FROM ") + t);
    }
    std::string errors;
    for (const char* file : {"corvana.cnf", "mistrel.cnf", "weather.cnf", "plot.cnf"}) {
        // Without system users of the accounts' names here, root alone reads them.
        struct stat info;
        ASSERT_EQ(stat(s.file(file).c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
        EXPECT_THAT(readFile(s.file(file)), HasSubstr("\npassword=")) << file;
        EXPECT_THAT(readFile(s.dir.file("socket/") + file), Not(HasSubstr("password")));
        setenv("ULMET_DB_CONFIG", s.file(file).c_str(), 1);
        Database db;
        ASSERT_EQ(db.openConnection("localhost", "UlmetDB", "root", "kzqvwp"), 200)
            << file << ": " << db.errorMessage();
        for (const std::string& statement : statements) {
            db.query(statement.c_str());  // the result of the last, if any, freed by the next
            errors +=
                std::string(file) + " " + std::to_string(db.errorNumber()) + " " + statement + "\n";
        }
        db.disconnect();
        unsetenv("ULMET_DB_CONFIG");
    }
    expectGolden("packaging/golden/account-grants.txt", errors);
}
// The retrieval program stores the IPWV through its own account; a wrong
// password in its file ends the run with 255 and the server's message.
TEST_F(Accounts, RetrievalStoresThroughItsAccount) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    const Station& s = station();
    for (const char* values :
         {"pressure (pressure_value, data) VALUES (1013",
          "temperature (temperature_value, data) VALUES (20",
          "humidity (humidity_value, data) VALUES (60",
          "troposphericDelay (latitude, height, elevation, data) VALUES (40, 100, 30"})
        sql::exec(std::string("INSERT INTO ") + values + ", '2014-03-05 14:07:00')",
                  s.server.socket());
    struct tm target = {42, 7, 14, 5, 2, 114, 0, 0, 0, 0, nullptr};
    const auto clock = faketimeEnv(timegm(&target) - time(nullptr));
    const std::vector<std::string> mistrel = {binDir() + "/Mistrel"};

    const std::string good = run(mistrel, s.file("mistrel.cnf"), clock);
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM ipwv WHERE data = '2014-03-05 14:07:00'",
                          s.server.socket()),
              "1")
        << good;
    EXPECT_EQ(s.ranBy("INSERT INTO ipwv"), std::set<std::string>{"ulmet-ipwv"});

    const std::string wrong = s.dir.file("wrong.cnf");
    std::ofstream(wrong) << "[ulmet]\nuser=ulmet-ipwv\npassword=wrong\nsocket=" << s.server.socket()
                         << "\n";
    const std::string refused = run(mistrel, wrong, clock);
    EXPECT_EQ(refused.substr(0, 4), "255|") << refused;
    EXPECT_THAT(refused, HasSubstr("Access denied for user 'ulmet-ipwv'@'localhost'")) << refused;
}

// A socket login through the programs' own login code needs no
// password, only the system user of its name (nobody stands in for a
// service's user); root naming that account in its file is refused.
TEST_F(Accounts, SocketLoginAsTheSystemUserOnly) {
    const Station& s = station();
    if (access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "no runuser";
    sql::exec("CREATE USER nobody@localhost IDENTIFIED VIA unix_socket", s.server.socket());
    sql::exec("GRANT INSERT ON UlmetDB.pressure TO nobody@localhost", s.server.socket());
    const std::string file = s.dir.file("nobody.cnf");
    std::ofstream(file) << "[ulmet]\nuser=nobody\nsocket=" << s.server.socket() << "\n";
    for (const std::string& path : {file, s.dir.path(), s.server.dir()}) chmod(path.c_str(), 0755);
    const std::string asNobody =
        run({"/usr/sbin/runuser", "-u", "nobody", "--", binDir() + "/weather_sim", "--once"}, file);
    const std::string asRoot = run({binDir() + "/weather_sim", "--once"}, file);
    sql::exec("DROP USER nobody@localhost", s.server.socket());
    EXPECT_EQ(s.ranBy("INSERT INTO pressure").count("nobody"), 1u) << asNobody;
    EXPECT_THAT(asRoot, HasSubstr("Access denied for user 'nobody'@'localhost'")) << asRoot;
}

// The acquisition daemon stores its rows through its own account. While
// the server refuses its login (a wrong password in its file) it keeps the
// rows, and stores them once the file is right again: the file is read
// for every connection.
TEST_F(Accounts, AcquisitionThroughItsAccount) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    const Station& s = station();
    TempDir work("ulmet-acq-login");
    const std::string config = work.file("corvana.cnf"), good = readFile(s.file("corvana.cnf"));
    // Replaced whole, never seen half written.
    auto writeConfig = [&](const std::string& text) {
        std::ofstream(work.file("next.cnf")) << text;
        std::rename(work.file("next.cnf").c_str(), config.c_str());
    };
    const auto password = good.find("password=");
    writeConfig(good.substr(0, password) + "password=wrong" +
                good.substr(good.find('\n', password)));
    auto env = faketimeEnv(offsetToSecondOfMinute(56));
    env.insert(env.end(), {"TZ=UTC", "TERM=dumb", "MYSQL_UNIX_PORT=/nonexistent/mysqld.sock",
                           "ULMET_DB_CONFIG=" + config, "CORVANA_PORT=" + work.file("tty")});
    ChildProcess sim({binDir() + "/receiver_sim", "--link", work.file("tty"), "--expected-rows",
                      work.file("expected"), "--interval-seconds", "10", "--seed", "7"},
                     env, work.path());
    ASSERT_TRUE(sim.waitForOutput("PTY ", seconds(10))) << sim.output();
    ChildProcess daemon({binDir() + "/Corvana"}, env, work.path());
    auto stored = [&] {
        return std::stoul(sql::scalar("SELECT COUNT(*) FROM troposphericDelay", s.server.socket()));
    };
    auto expected = [&] { return count(readFile(work.file("expected")), "\n"); };
    auto visibilityLogs = [&] { return count(daemon.output(), "SATVIS_LOG\n"); };

    // The first log arrives while the login is refused: its rows are kept.
    ASSERT_TRUE(waitFor([&] { return visibilityLogs() > 0; }, seconds(40))) << daemon.output();
    std::this_thread::sleep_for(seconds(1));  // the log's rows are handled
    EXPECT_EQ(stored(), 0u);
    ASSERT_GT(expected(), 0u);
    writeConfig(good);
    // With the next log the kept rows go in, then its own, all through the
    // account. (Rows refused at login are kept only with the storage's
    // error classification, which tells a refused login from a refused row.)
    const bool all =
        waitFor([&] { return visibilityLogs() > 1 && stored() >= expected(); }, seconds(40));
    EXPECT_TRUE(all) << stored() << " of " << expected() << " rows\n" << daemon.output();
    EXPECT_EQ(s.ranBy("INSERT INTO troposphericDelay"), std::set<std::string>{"ulmet"});
    daemon.signal(SIGINT);
    daemon.wait(seconds(20));
}

}  // namespace
