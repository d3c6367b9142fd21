// What a hostile receiver, a careless operator or another local user can
// do to a station, end to end with the real programs: lying logs with
// correct checksums, option files that others could change or that load
// more than a login, a planted lock-file link, text for gnuplot, and the
// built-in root password after the accounts are made.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "Acquisition.h"

using namespace testsupport;

namespace {

// A receiver that lies with correct checksums (the simulator's --hostile:
// impossible position, delays and elevations, 300 satellites, every second
// of the minute sent again, escape sequences): the table holds every clean
// row, nothing impossible, no minute more than its bound, and nothing the
// line sent reaches the output raw.
using HostileReceiver = Acquisition;
TEST_F(HostileReceiver, NothingImpossibleStoredAMinuteBoundedNoRawControlText) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    // 56 satellites, an emission every 15 s sent again for each second:
    // the first emission alone brings more rows than a minute may hold.
    ASSERT_NO_FATAL_FAILURE(
        start("none", 15, {"--hostile", "--satellites", "56", "--baud", "2000000"}, true));
    ASSERT_TRUE(waitFor(
        [&] {
            return emissions() >= 1 && count(daemon_->output(), "the minute ") > 0 &&
                   count(daemon_->output(), "SATVIS_LOG\n") >= 15 + 2;
        },
        seconds(60)))
        << sim_->output() << daemon_->output();
    const std::string out = stopDaemon();
    const std::string& socket = server_.socket();
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM troposphericDelay WHERE NOT (ABS(latitude) <= 90 "
                          "AND ABS(longitude) <= 180 AND height BETWEEN -1000 AND 18000 AND "
                          "latitudeErr BETWEEN 0 AND 10000 AND longitudeErr BETWEEN 0 AND 10000 "
                          "AND heightErr BETWEEN 0 AND 10000 AND ABS(elevation) BETWEEN 30 AND 90 "
                          "AND td BETWEEN 0 AND 100)",
                          socket),
              "0");
    const int most =
        std::stoi(sql::scalar("SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM "
                              "troposphericDelay GROUP BY LEFT(data, 16)) m",
                              socket));
    EXPECT_LE(most, 512);
    EXPECT_GT(most, 512 - 56);  // the bound was reached
    // The clean rows, first of their minute, are all there. (A minute that
    // lies have filled takes no more, clean or not.)
    const std::vector<std::string> rows = stored();
    const std::set<std::string> all(rows.begin(), rows.end());
    const std::string first = expected().at(0).substr(0, 19);
    for (const std::string& row : expected())
        if (row.compare(0, 19, first) == 0) {
            EXPECT_EQ(all.count(row), 1u) << row;
        }
    // No byte below 0x20 but newline, tab and a carriage return before a
    // newline; no DEL, no 8-bit C1 byte.
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        const bool lineEnd = c == '\r' && out.compare(i + 1, 1, "\n") == 0;
        ASSERT_FALSE((c < 0x20 && c != '\n' && c != '\t' && !lineEnd) || (c >= 0x7f && c < 0xa0))
            << int(c) << " at " << i << ": " << out.substr(i > 40 ? i - 40 : 0, 80);
    }
    EXPECT_THAT(out, HasSubstr("\\x1b[2J"));  // shown, escaped
    std::smatch refused;
    ASSERT_TRUE(std::regex_search(
        out, refused, std::regex("Logs refused for values no receiver reports: (\\d+)")))
        << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
    EXPECT_GE(std::stoul(refused[1]), 3u);  // three lies of an emission, at least
}

// The daemon's lock file is opened only as a regular file of its own user
// that no one else may write: a link planted there is never followed.
TEST(LockFile, ALinkOrAFileOthersMayWriteIsRefused) {
    TempDir dir("ulmet-lock");
    const std::string victim = dir.file("victim");
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(symlink(victim.c_str(), dir.file("corvana.lock").c_str()), 0);
    const std::vector<std::string> env = {"CORVANA_PORT=" + dir.file("no-device"),
                                          "ULMET_DB_CONFIG=", "TERM=dumb"};
    std::string out = runToEnd({binDir() + "/Corvana"}, env, dir.path());
    EXPECT_EQ(out.substr(0, 4), "255|") << out;
    EXPECT_THAT(out, HasSubstr("cannot open " + dir.file("corvana.lock"))) << out;
    EXPECT_EQ(readFile(victim), "precious\n");
    unlink(dir.file("corvana.lock").c_str());
    std::ofstream(dir.file("corvana.lock")) << "1\n";
    chmod(dir.file("corvana.lock").c_str(), 0666);
    out = runToEnd({binDir() + "/Corvana"}, env, dir.path());
    EXPECT_EQ(out.substr(0, 4), "255|") << out;
    EXPECT_THAT(out, HasSubstr("is not a regular file of this user that only it may write")) << out;
    EXPECT_EQ(readFile(dir.file("corvana.lock")), "1\n");
}

// One server for the option files, the plot and the set-up script.
struct Station : ::testing::Test {
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "needs the system root (file owners, socket logins)";
    }
    // A file of `content` with `mode`, owned by `owner`.
    std::string optionFile(const std::string& name, const std::string& content, mode_t mode,
                           uid_t owner = 0) {
        const std::string path = dir.file(name);
        std::ofstream(path) << content;
        chmod(path.c_str(), mode);
        EXPECT_EQ(chown(path.c_str(), owner, 0), 0);
        return path;
    }
    PrivateServer server;
    TempDir dir{"ulmet-security"};
};

// Each file, and one missing or unreadable, is refused by the programs and
// the tools before any login: exit 255 (1 for the tools), the file and its
// problem named (golden/option-file-messages.txt: for each file the
// status and output of Mistrel, Corvana, weather_sim and ulmet-plot, in
// that order), and the server saw no connection at all.
TEST_F(Station, OptionFilesThatFallBackOrLoadCodeAreRefused) {
    const std::string socket = server.socket();
    const std::string login = "[ulmet]\nuser=ulmet-ipwv\nsocket=" + socket + "\n";
    // Name, content, mode and owner. Every file goes through the same rules
    // (test_database checks each rule of the content): one refused for its
    // content is enough to see each program apply them before its login.
    const std::tuple<std::string, std::string, mode_t, uid_t> cases[] = {
        {"group-writable", login, 0664, 0},
        {"world-writable", login, 0666, 0},
        {"foreign", login, 0644, 4242},
        {"include", login + "!include /etc/mysql/debian.cnf\n", 0644, 0},
        {"missing", "", 0, 0},
        {"directory", "", 0, 0},  // permissions do not stop root
    };
    sql::exec("SET GLOBAL log_output = 'TABLE', general_log = 'ON'", socket);
    std::string transcript;
    for (const auto& [name, content, mode, owner] : cases) {
        const std::string file = mode != 0           ? optionFile(name, content, mode, owner)
                                 : name == "missing" ? dir.file(name)
                                                     : dir.path();
        transcript += "== " + name + "\n";
        for (const std::vector<std::string>& argv :
             {std::vector<std::string>{binDir() + "/Mistrel"},
              {binDir() + "/Corvana"},
              {binDir() + "/weather_sim", "--once"},
              {"/bin/bash", sourceDir() + "/tools/ulmet-plot", "--out", dir.file("p.png")}})
            transcript +=
                runToEnd(argv, {"ULMET_DB_CONFIG=" + file, "MYSQL_UNIX_PORT=" + socket, "TZ=UTC"},
                         dir.path());
    }
    expectGolden("golden/option-file-messages.txt",
                 std::regex_replace(transcript, std::regex(dir.path()), "DIR"));
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM mysql.general_log WHERE command_type = 'Connect' "
                          "AND thread_id <> CONNECTION_ID()",
                          socket),
              "0");
    // A password every user may read is used, with a warning.
    const std::string readable =
        optionFile("readable", "[ulmet]\npassword=kzqvwp\nsocket=" + socket + "\n", 0644);
    const std::string out =
        runToEnd({binDir() + "/Mistrel"}, {"ULMET_DB_CONFIG=" + readable}, dir.path());
    EXPECT_THAT(out, HasSubstr("Warning: database option file " + readable +
                               ": holds a password that every user may read"))
        << out;
}

// ulmet-plot hands its file name and title to gnuplot as data: text meant
// to run a command only names the file and titles the plot.
TEST_F(Station, PlotArgumentsNeverRunCommands) {
    if (access("/usr/bin/gnuplot", X_OK) != 0) GTEST_SKIP() << "no gnuplot";
    const std::string marker = dir.file("ran");
    const std::string out =
        dir.file("x'; system 'touch " + marker + "'; set output '" + dir.file("y.png"));
    const std::string title = "t\"; system \"touch " + marker + "\"; print \"";
    const std::string result = runToEnd({"/bin/bash", sourceDir() + "/tools/ulmet-plot", "--out",
                                         out, "--title", title, "--socket", server.socket()},
                                        {"ULMET_DB_CONFIG="});
    EXPECT_EQ(result.substr(0, 2), "0|") << result;
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "gnuplot ran a command";
    EXPECT_EQ(access(out.c_str(), F_OK), 0) << result;  // the whole text is the file name
}

// --accounts retires the built-in root password, on a fresh server and
// after --set-root-password gave it back, and no account statement
// (passwords included) reaches the binary log.
TEST_F(Station, AccountsRetireTheBuiltInPasswordAndKeepSecretsOutOfTheBinaryLog) {
    if (access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "no runuser";
    server.stop();
    std::ofstream(server.dir() + "/server.cnf")
        << "[mariadbd]\nskip-networking\nserver-id=1\nlog-bin=" << server.dir() << "/binlog\n";
    server.start();
    const std::string socket = server.socket();
    sql::exec("CREATE TABLE binlog_marker (x INT)", socket);
    const std::string script = sourceDir() + "/scripts/install-db";
    // The built-in password as a user other than root (whose socket login
    // would pass whatever the password).
    for (const std::string& path : {dir.path(), server.dir()}) chmod(path.c_str(), 0755);
    auto builtInLoginWorks = [&] {
        return runToEnd({"/usr/sbin/runuser", "-u", "nobody", "--", "mariadb", "--no-defaults",
                         "--socket=" + socket, "-uroot", "-pkzqvwp", "-e", "SELECT 1"})
                   .substr(0, 2) == "0|";
    };
    // Fresh, --accounts alone retires the password that the server started with.
    const std::string fresh = runToEnd({"/bin/bash", script, "--socket", socket, "--accounts",
                                        "--passwords", "--config-dir", dir.file("etc0")});
    ASSERT_EQ(fresh.substr(0, 2), "0|") << fresh;
    EXPECT_FALSE(builtInLoginWorks());
    const std::string set =
        runToEnd({"/bin/bash", script, "--socket", socket, "--set-root-password"});
    ASSERT_EQ(set.substr(0, 2), "0|") << set;
    ASSERT_TRUE(builtInLoginWorks());
    const std::string accounts = runToEnd({"/bin/bash", script, "--socket", socket, "--accounts",
                                           "--passwords", "--config-dir", dir.file("etc")});
    ASSERT_EQ(accounts.substr(0, 2), "0|") << accounts;
    EXPECT_THAT(accounts, HasSubstr("root@localhost now accepts no password")) << accounts;
    EXPECT_FALSE(builtInLoginWorks());
    EXPECT_EQ(sql::scalar("SHOW CREATE USER root@localhost", socket),
              "CREATE USER `root`@`localhost` IDENTIFIED VIA unix_socket");
    // Again: it says the password is already gone.
    const std::string again = runToEnd(
        {"/bin/bash", script, "--socket", socket, "--accounts", "--config-dir", dir.file("etc2")});
    EXPECT_THAT(again, HasSubstr("root@localhost accepts no password")) << again;

    const std::string binlog = runToEnd(
        {"/bin/sh", "-c", "mariadb-binlog --no-defaults " + server.dir() + "/binlog.[0-9]*"});
    ASSERT_EQ(binlog.substr(0, 2), "0|") << binlog.substr(0, 2000);
    EXPECT_THAT(binlog, HasSubstr("binlog_marker")) << binlog;  // the log is on
    EXPECT_THAT(binlog, Not(HasSubstr("kzqvwp")));
    EXPECT_THAT(binlog, Not(HasSubstr("USER")));
    for (const char* name : {"corvana.cnf", "mistrel.cnf", "weather.cnf", "plot.cnf"}) {
        const std::string cnf = readFile(dir.file("etc/") + name);
        const auto at = cnf.find("password=");
        ASSERT_NE(at, std::string::npos) << name;
        const std::string secret = cnf.substr(at + 9, cnf.find('\n', at) - at - 9);
        EXPECT_THAT(binlog, Not(HasSubstr(secret))) << name;
    }
}

}  // namespace
