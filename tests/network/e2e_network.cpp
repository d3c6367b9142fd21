// A network of stations on private servers: two stations and a central
// server that pulls their rows over TLS on 127.0.0.1, set up with
// ulmet-network as an operator would. Rows are written into the
// stations' databases directly; after every outage each station's rows
// must be on the central server exactly once, in that station's own
// database and under its name in the network-wide tables. A station whose
// root is hostile must not change anything on the central server beyond
// its own copy.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::StartsWith;

namespace {

// Runs bash with the network helpers loaded; throws with the output on a
// non-zero exit unless `allowFailure`.
struct Shell {
    int status = 0;
    std::string output;
};
Shell shell(const std::string& script, bool allowFailure = false) {
    ChildProcess child({"/bin/bash", "-c",
                        "set -e; source \"$NETWORK_ROOT/scripts/lib/network-nodes.sh\"; " + script},
                       {"NETWORK_ROOT=" + sourceDir(), "MYSQL_UNIX_PORT="});
    Shell result{child.wait(180s), child.output()};
    if (result.status != 0 && !allowFailure)
        throw std::runtime_error("failed (" + std::to_string(result.status) + "): " + script +
                                 "\n" + result.output);
    return result;
}

class Network : public ::testing::Test {
  protected:
    static inline std::unique_ptr<TempDir> root;
    static inline std::string certs, central;
    static inline int nextId = 11;

    static std::string dir(const std::string& name) { return root->file(name); }
    static std::string socketOf(const std::string& name) { return dir(name) + "/mysqld.sock"; }
    static std::string tool() { return "\"$NETWORK_ROOT/scripts/ulmet-network\""; }
    static std::string centralSocket() { return central + "/mysqld.sock"; }
    static std::string onCentral(const std::string& args) {
        return "MYSQL_UNIX_PORT=" + centralSocket() + " " + tool() + " --conf-dir " + central +
               "/conf.d --state-dir " + central + "/state " + args;
    }
    // A station with TLS and the central server's account (station-setup,
    // restart), not yet in the network.
    static void createStation(const std::string& name) {
        shell("station_create " + dir(name) + " " + name + " " + std::to_string(nextId++) + " " +
              certs);
    }
    // The command that adds station `name` served by the server in
    // dir(`server`) (its port and password), `options` overriding them.
    static std::string addStation(const std::string& name, const std::string& server = "",
                                  const std::string& options = "") {
        return "central_add " + central + " " + name + " " + dir(server.empty() ? name : server) +
               " " + certs + " " + options;
    }

    static void SetUpTestSuite() {
        root = std::make_unique<TempDir>("ulmet-net");
        certs = dir("certs");
        central = dir("central");
        // The test's SQL helper opens UlmetDB; the central server has none.
        shell("network_certs " + certs + "; central_create " + central + "; node_sql " + central +
              " 'CREATE DATABASE UlmetDB'");
        for (const char* name : {"a", "b"}) createStation(name), shell(addStation(name));
    }
    static void TearDownTestSuite() {
        shell("for d in " + root->path() + "/*/; do [ ! -f \"$d/server.cnf\" ] || " +
                  "\"$NETWORK_ROOT/tests/support/mariadb.sh\" stop \"$d\"; done",
              true);
        root.reset();
    }

    // Rows tagged with the station's own satellite numbers, so that a row
    // in the wrong database could not pass for one of that station's.
    // Every row has a (time, satellite) pair of its own, as real ones do.
    static void insertRows(const std::vector<std::pair<std::string, int>>& batches) {
        static std::map<std::string, int> rowsOf, minutesOf;
        auto minute = [](int m) {
            return "'2026-12-07' + INTERVAL " + std::to_string(m) + " MINUTE";
        };
        for (const auto& [name, n] : batches) {
            std::string values;
            for (int i = 0; i < n; ++i) {
                int k = rowsOf[name]++;
                values += std::string(i ? "," : "") + "(" +
                          std::to_string((name[0] - 'a' + 1) * 100 + k % 40) + ", " +
                          std::to_string(2.4 + k * 0.001) + ", " + minute(k / 40) + ")";
            }
            sql::exec("INSERT INTO troposphericDelay (prn, td, data) VALUES " + values,
                      socketOf(name));
            sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (1.25, " +
                          minute(minutesOf[name]++) + ")",
                      socketOf(name));
        }
    }

    // Count, distinct ids and a checksum of a table's rows on the central
    // server, or (`socket`) on a station's.
    static std::string digest(const std::string& table, const std::string& from,
                              const std::string& where = "", const std::string& socket = "") {
        std::string row = table == "ipwv" ? "id, ipwv_value, data" : "id, prn, td, data";
        return sql::scalar(
            "SELECT CONCAT_WS(' ', COUNT(*), COUNT(DISTINCT id), "
            "IFNULL(SUM(CRC32(CONCAT_WS('|', " +
                row + "))), 0)) FROM " + from + "." + table + " " + where,
            socket.empty() ? centralSocket() : socket);
    }
    static std::string stationDigest(const std::string& name, const std::string& table) {
        return digest(table, "UlmetDB", "", socketOf(name));
    }
    // What a hostile station could touch on the central server: its
    // accounts and grants, the other stations' copies, the network's tables.
    static std::string centralFingerprint() {
        return centralScalar(
            "SELECT CONCAT_WS(' | ', (SELECT GROUP_CONCAT(CONCAT(user, '@', host, ':', priv) "
            "ORDER BY user, host) FROM mysql.global_priv), (SELECT GROUP_CONCAT(CONCAT(grantee, "
            "privilege_type, table_schema) ORDER BY 1) FROM information_schema.schema_privileges), "
            "(SELECT GROUP_CONCAT(schema_name ORDER BY 1) FROM information_schema.schemata), "
            "(SELECT GROUP_CONCAT(name ORDER BY name) FROM UlmetNetwork.stations))");
    }
    static std::string centralScalar(const std::string& query) {
        return sql::scalar(query, centralSocket());
    }
    // A station's state and last error as the central server records it.
    static std::string stateOf(const std::string& name) {
        return centralScalar(
            "SELECT CONCAT(state, ': ', IFNULL(last_error, '')) FROM UlmetNetwork.station_status "
            "WHERE name = '" +
            name + "'");
    }
    // Fetches (one sync round of the named stations) until the central
    // server holds every row of every named station once, in
    // UlmetDB_<station> and in the network-wide tables.
    static void expectConverged(const std::vector<std::string>& names) {
        std::string report, only;
        for (const std::string& name : names) only += " " + name;
        bool done = waitFor(
            [&] {
                shell(onCentral("sync" + only), true);
                report.clear();
                for (const std::string& name : names)
                    for (const char* table : {"troposphericDelay", "ipwv"}) {
                        std::string want = stationDigest(name, table);
                        std::string own = digest(table, "UlmetDB_" + name);
                        std::string view =
                            digest(table, "UlmetNetwork", "WHERE station = '" + name + "'");
                        if (own != want || view != want)
                            report += name + "." + table + ": station " + want + ", central " +
                                      own + ", view " + view + "\n";
                    }
                return report.empty();
            },
            30s, 200ms);
        if (!done) ADD_FAILURE() << report << shell(onCentral("status"), true).output;
    }
};

TEST_F(Network, PullsOverTlsOnlyAndCatchesUpAfterEveryOutage) {
    // The station's account refuses a connection without TLS.
    EXPECT_THAT(shell("MYSQL_PWD=$(cat " + dir("a") +
                          "/replication.password) mariadb -h127.0.0.1 -P$(node_port " + dir("a") +
                          ") -uulmet_pull --skip-ssl -e 'SELECT 1' 2>&1",
                      true)
                    .output,
                HasSubstr("Access denied"));
    // The central server's client option files require a verified certificate.
    EXPECT_THAT(readFile(central + "/state/a.station.cnf"),
                HasSubstr("\nssl-verify-server-cert\n"));

    insertRows({{"a", 30}, {"b", 20}});
    expectConverged({"a", "b"});

    // The central server is down while both stations write.
    shell("node_stop " + central);
    insertRows({{"a", 40}, {"b", 40}});
    shell("node_start " + central);
    insertRows({{"b", 3}});
    expectConverged({"a", "b"});

    // Station a is down, and d (b's server) is given a's password: their
    // fetches fail and status says so, b goes on.
    insertRows({{"a", 25}});
    shell("node_stop " + dir("a") + "; " +
          addStation("d", "b", "--password-file " + dir("a") + "/replication.password"));
    insertRows({{"b", 7}});
    EXPECT_EQ(shell(onCentral("sync"), true).status, 3);
    expectConverged({"b"});
    Shell down = shell(onCentral("status"), true);
    EXPECT_EQ(down.status, 3) << down.output;
    EXPECT_THAT(down.output,
                AllOf(HasSubstr("\na            failed "), HasSubstr("\nb            ok "),
                      HasSubstr("\nd            failed "), HasSubstr("1045")));
    // The same status, for other programs, in SQL.
    EXPECT_EQ(centralScalar("SELECT GROUP_CONCAT(CONCAT(name, ':', state, ':', last_error IS NULL) "
                            "ORDER BY name) FROM UlmetNetwork.network_status"),
              "a:failed:0,b:ok:1,d:failed:0");
    shell(onCentral("remove d --drop-data") + "; node_start " + dir("a"));
    expectConverged({"a", "b"});
    EXPECT_EQ(shell(onCentral("status")).status, 0);

    // One station's data drawn from the central server.
    EXPECT_THAT(
        shell("\"$NETWORK_ROOT/tools/ulmet-plot\" --socket " + centralSocket() +
              " --station a --from '2026-12-01 00:00' --to '2026-12-31 23:59' --out " +
              root->file("a.png"))
            .output,
        HasSubstr(" " + sql::scalar("SELECT COUNT(*) FROM troposphericDelay", socketOf("a")) +
                  " slant delays"));
}

TEST_F(Network, StationsJoinAndLeaveWhileOthersGoOn) {
    // c has rows before it joins: its first fetch brings them all.
    createStation("c");
    // c runs an earlier schema than the central server's copies: its rows
    // come with NULL for the columns it does not have yet.
    sql::exec(
        "ALTER TABLE ipwv DROP COLUMN pressure, DROP COLUMN temperature, DROP COLUMN humidity",
        socketOf("c"));
    insertRows({{"c", 15}, {"a", 10}});
    // An upgrade from the all-stations views (views-era-central.sql): the
    // central server has a view where the network-wide table goes, b's copy
    // has no triggers and was made from an earlier schema, without the
    // columns added to ipwv since. init makes the table, b's triggers from
    // the columns its copy has, and puts b's rows there once (run twice:
    // nothing doubles).
    shell("node_sql " + central +
          " \"$(cat \"$NETWORK_ROOT/tests/network/views-era-central.sql\")\"");
    for (int i = 0; i < 2; ++i) shell(onCentral("init"));
    // What add and remove of c must leave alone: a's and b's triggers.
    std::string triggers =
        "SELECT GROUP_CONCAT(CONCAT_WS(' ', trigger_schema, trigger_name, created, definer, "
        "action_statement) ORDER BY 1) FROM information_schema.triggers WHERE trigger_schema IN "
        "('UlmetDB_a', 'UlmetDB_b')";
    std::string before = centralScalar(triggers);
    EXPECT_EQ(
        centralScalar("SELECT GROUP_CONCAT(trigger_schema, ':', action_statement LIKE "
                      "'%NEW.`pressure`%' ORDER BY 1) FROM information_schema.triggers WHERE "
                      "trigger_name = 'ulmet_network_ipwv' AND trigger_schema IN ('UlmetDB_a', "
                      "'UlmetDB_b')"),
        "UlmetDB_a:1,UlmetDB_b:0");
    shell(addStation("c"));
    insertRows({{"c", 6}, {"b", 4}});
    expectConverged({"a", "b", "c"});

    shell(onCentral("remove c"));
    insertRows({{"c", 5}, {"a", 5}});
    expectConverged({"a", "b"});
    EXPECT_EQ(centralScalar(triggers), before);
    // Its rows leave the network-wide tables, its account and client
    // options go, its data stay.
    EXPECT_EQ(centralScalar("SELECT (SELECT COUNT(*) FROM UlmetNetwork.troposphericDelay WHERE "
                            "station = 'c') + (SELECT COUNT(*) FROM mysql.global_priv WHERE user = "
                            "'ulmet_in_c')"),
              "0");
    EXPECT_FALSE(std::ifstream(central + "/state/c.station.cnf").good());
    EXPECT_NE(digest("ipwv", "UlmetDB_c"), "0 0 0");
}

TEST_F(Network, AHostileStationChangesNothingBeyondItsOwnCopy) {
    insertRows({{"a", 4}, {"b", 4}});
    expectConverged({"a", "b"});
    std::string before = centralFingerprint();
    std::string bRows = digest("ipwv", "UlmetDB_b") + digest("troposphericDelay", "UlmetDB_b");
    std::string marker = root->file("pwned");

    // What a's root does: hostile-station.sql.
    shell("node_sql " + dir("a") + " \"$(sed 's#@MARKER@#" + marker +
          "#' \"$NETWORK_ROOT/tests/network/hostile-station.sql\")\"");
    shell(onCentral("sync a || true; ") + onCentral("views"), true);
    EXPECT_EQ(centralFingerprint(), before);
    EXPECT_EQ(digest("ipwv", "UlmetDB_b") + digest("troposphericDelay", "UlmetDB_b"), bRows);
    EXPECT_FALSE(std::ifstream(marker).good());
    // What did not fit is a's status, not anything run; a's rows stay a's.
    EXPECT_THAT(shell(onCentral("status"), true).output, HasSubstr("\na            odd "));
    EXPECT_EQ(centralScalar("SELECT COUNT(*) FROM UlmetDB_b.pressure"), "0");

    // FIFOs at every temporary name the tool once used for the next PIDs:
    // views neither blocks on them nor runs what they would give.
    std::string tmp = root->file("tmp");
    Shell fifos = shell("mkdir -p " + tmp + "; for i in $(seq $$ $(($$ + 400))); do mkfifo " + tmp +
                            "/ulmet-views.$i.sql; done; TMPDIR=" + tmp + " timeout 60 env " +
                            onCentral("views"),
                        true);
    EXPECT_EQ(fifos.status, 0) << fifos.output;

    // A poller reads every process's arguments and environment while a
    // station is set up and added and the central server fetches: no
    // password is ever seen.
    createStation("g");
    std::string seen = root->file("seen");
    // The secrets are written from here: no shell's arguments hold them.
    std::ofstream(dir("g") + "/replication.password") << "Hx7pQ2mZ9vL4kR8w\n";
    std::ofstream(root->file("secrets")) << "Hx7pQ2mZ9vL4kR8w\n";
    shell("touch " + seen + "; ( while [ ! -f " + root->file("stop") +
          " ]; do cat /proc/[0-9]*/cmdline "
          "/proc/[0-9]*/environ 2>/dev/null | tr '\\0' '\\n' | grep -F -f " +
          root->file("secrets") + " >> " + seen + "; done ) & poller=$!; station_setup " +
          dir("g") + " g 30 " + certs + "; " + addStation("g") + "; " + onCentral("sync g") +
          " || true; grep -h password " + central + "/state/g.copy.cnf | cut -d= -f2 >> " +
          root->file("secrets") + "; " + onCentral("sync g") + " || true; touch " +
          root->file("stop") + "; wait $poller || true");
    EXPECT_EQ(readFile(seen), "");
    EXPECT_EQ(centralScalar("SELECT state FROM UlmetNetwork.station_status WHERE name = 'g'"),
              "ok");
    shell(onCentral("remove g --drop-data"));
}

// A statement as one of the central server's own accounts (its option
// file in the state directory): "ok" when it ran, else the client's error.
std::string asAccount(const std::string& central, const std::string& cnf, const std::string& sql) {
    return shell("if out=$(mariadb --defaults-file=" + central + "/state/" + cnf +
                     " --batch --skip-column-names -e \"" + sql +
                     "\" 2>&1); then printf ok; else grep -m 1 -o 'ERROR [0-9]*' <<<\"$out\"; fi",
                 true)
        .output.substr(0, 10);
}

TEST_F(Network, EachAccountWritesOnlyWhatItMust) {
    // init again (as after an upgrade) keeps every grant as it was.
    std::string grants =
        "SELECT GROUP_CONCAT(CONCAT(grantee, ' ', privilege_type, ' ', table_schema) ORDER BY 1 "
        "SEPARATOR '; ') FROM information_schema.schema_privileges";
    std::string before = centralScalar(grants);
    shell(onCentral("init"));
    EXPECT_EQ(centralScalar(grants), before);
    // '_' is not a wildcard in the station's grant.
    EXPECT_THAT(before, HasSubstr("'ulmet_in_a'@'localhost' INSERT UlmetDB\\_a"));
    shell("node_sql " + central +
          " 'CREATE DATABASE UlmetDBxa; CREATE TABLE UlmetDBxa.ipwv (id INT)'; node_sql " +
          dir("a") + " 'CREATE DATABASE UlmetDB2; CREATE TABLE UlmetDB2.ipwv (id INT)'");
    // Each statement of account-reach.tsv, as its account.
    std::istringstream reach(readFile(sourceDir() + "/tests/network/account-reach.tsv"));
    for (std::string line; std::getline(reach, line);) {
        if (line[0] == '#') continue;
        std::size_t result = line.find('\t'), statement = line.find('\t', result + 1);
        EXPECT_EQ(asAccount(central, line.substr(0, result), line.substr(statement + 1)),
                  line.substr(result + 1, statement - result - 1))
            << line;
    }
    EXPECT_EQ(centralScalar("SELECT GROUP_CONCAT(station, id, ':', ipwv_value) FROM "
                            "UlmetNetwork.ipwv WHERE id > 9000000"),
              "a9000001:3");
    shell("node_sql " + central +
          " 'DROP DATABASE UlmetDBxa; DELETE FROM UlmetDB_a.ipwv WHERE id > 9000000; " +
          "DELETE FROM UlmetNetwork.ipwv WHERE id > 9000000'; node_sql " + dir("a") +
          " 'DROP DATABASE UlmetDB2'");
}

TEST_F(Network, AHostileStationServerCostsOnlyItsOwnDeadline) {
    // A station's server that an attacker wrote (tests/support/fake-station.py):
    // one listener, its behaviour and certificate switched between fetches.
    std::string fake = dir("h");
    auto mode = [&](const std::string& text) { std::ofstream(fake + "/mode") << text << "\n"; };
    auto showCertificate = [&](const std::string& from, const std::string& name) {
        shell("mkdir -p " + fake + "; cp " + from + "/" + name + ".pem " + fake + "/cert.pem; cp " +
              from + "/" + name + "-key.pem " + fake + "/key.pem");
    };
    showCertificate(certs, "station");
    mode("close");
    ChildProcess server({"/usr/bin/python3", sourceDir() + "/tests/support/fake-station.py", fake});
    ASSERT_TRUE(waitFor([&] { return std::ifstream(fake + "/port").good(); }, 10s))
        << server.output();
    shell(addStation("h", "a", "--port " + readFile(fake + "/port")));
    // One round with every station: a and b get their rows in it.
    auto round = [&](const std::string& what) {
        insertRows({{"a", 3}, {"b", 3}});
        auto start = std::chrono::steady_clock::now();
        Shell r = shell(onCentral("sync --connect-timeout 2 --read-timeout 2 --deadline 4"), true);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.status, 3) << what << r.output;
        EXPECT_LT(took, 12s) << what;
        for (const char* name : {"a", "b"})
            EXPECT_EQ(digest("troposphericDelay", std::string("UlmetDB_") + name),
                      stationDigest(name, "troposphericDelay"))
                << what << " " << name;
        EXPECT_EQ(stateOf("a"), "ok: ") << what;
        return stateOf("h");
    };
    // Accepts and never answers; answers TLS and then nothing.
    for (const char* m : {"silent", "tls-silent"}) {
        mode(m);
        EXPECT_THAT(round(m), HasSubstr("failed: timed out"));
    }

    // A login error carrying SQL, with NO_BACKSLASH_ESCAPES on the central
    // server: stored as text, run nowhere.
    sql::exec("SET GLOBAL sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')", centralSocket());
    std::string before = centralFingerprint();
    std::string evil =
        "x\\', state = 'ok'; CREATE USER e@'%' IDENTIFIED BY 'e'; GRANT ALL ON "
        "*.* TO e@'%' WITH GRANT OPTION; -- x";
    mode("error " + evil);
    EXPECT_THAT(round("error"), HasSubstr(evil));
    EXPECT_EQ(centralFingerprint(), before);

    // Asked for a central file (LOAD DATA LOCAL): nothing of it is sent.
    std::string secret = root->file("central-secret");
    std::ofstream(secret) << "CENTRAL-SECRET-7731\n";
    mode("infile " + secret);
    EXPECT_THAT(round("infile"), HasSubstr("failed: "));
    EXPECT_THAT(readFile(fake + "/log"),  // "CENTRAL-SECRET" in hex
                AllOf(HasSubstr("after request"), Not(HasSubstr("43454e5452414c2d534543524554"))));
    sql::exec("SET GLOBAL sql_mode = REPLACE(@@sql_mode, ',NO_BACKSLASH_ESCAPES', '')",
              centralSocket());

    // A certificate from another CA, or for another name: refused before
    // the login (with the password's scramble) is sent.
    shell(tool() + " make-certs " + root->file("other-ca") + " station 127.0.0.1 >/dev/null; " +
          tool() + " make-certs " + certs + " elsewhere elsewhere.example >/dev/null");
    for (const auto& [dirOf, name] :
         {std::pair<std::string, std::string>{root->file("other-ca"), "station"},
          {certs, "elsewhere"}}) {
        showCertificate(dirOf, name);
        mode("error never");
        std::size_t logged = readFile(fake + "/log").size();
        EXPECT_THAT(round(name), AllOf(HasSubstr("failed: "), HasSubstr("TLS/SSL error")));
        EXPECT_THAT(readFile(fake + "/log").substr(logged - 1), Not(HasSubstr("\nlogin ")));
    }
    shell(onCentral("remove h --drop-data"));
}

TEST_F(Network, AFloodIsCutAndIdsThatGoBackAreReported) {
    createStation("f");
    shell(addStation("f"));
    for (int i = 0; i < 6; ++i) insertRows({{"f", 5}});
    expectConverged({"f"});

    // The station's ipwv starts again at id 1 (table recreated).
    sql::exec("TRUNCATE TABLE ipwv", socketOf("f"));
    sql::exec("INSERT INTO ipwv (ipwv_value, data) VALUES (7.5, '2026-12-08')", socketOf("f"));
    shell(onCentral("sync f"), true);
    EXPECT_THAT(stateOf("f"),
                StartsWith("odd: ids went back in ipwv (station's newest 1, copy's 6)"));

    // Answers of 300 MB: 5,000 rows of 60 kB, then 150 rows of 2 MB.
    // (ids above those the first stored: new rows to the collector).
    for (const char* row : {"seq AS id, REPEAT('7', 60000) AS humidity_value, "
                            "'2026-12-07 00:00:00' AS data FROM seq_1_to_5000",
                            "seq + 10000 AS id, REPEAT('7', 2000000) AS humidity_value, "
                            "'2026-12-07 00:00:00' AS data FROM seq_1_to_150"}) {
        sql::exec("DROP TABLE IF EXISTS humidity", socketOf("f"));
        sql::exec(std::string("CREATE OR REPLACE VIEW humidity AS SELECT ") + row, socketOf("f"));
        insertRows({{"f", 4}});
        Shell r = shell("/usr/bin/time -f 'maxrss %M' env " + onCentral("sync f") + " 2>&1", true);
        std::size_t at = r.output.rfind("maxrss ");
        ASSERT_NE(at, std::string::npos) << r.output;
        EXPECT_LT(std::stol(r.output.substr(at + 7)), 80 * 1024) << row;
        EXPECT_THAT(stateOf("f"), AllOf(StartsWith("capped: "), HasSubstr("humidity")));
        // The tables before it still arrived.
        EXPECT_EQ(digest("troposphericDelay", "UlmetDB_f"),
                  stationDigest("f", "troposphericDelay"));
    }
    shell(onCentral("remove f --drop-data"));
}

}  // namespace
