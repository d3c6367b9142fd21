// A network of stations on private servers: two stations and a central
// server replicating them over TLS on 127.0.0.1, set up with
// ulmet-network as an operator would. Rows are written into the
// stations' databases directly; after every outage each station's rows
// must be on the central server exactly once, in that station's own
// database and under its name in the all-stations views.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

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
    static std::unique_ptr<TempDir> root;
    static std::string certs, central;
    static int nextId;

    static std::string dir(const std::string& name) { return root->file(name); }
    static std::string socketOf(const std::string& name) { return dir(name) + "/mysqld.sock"; }
    static std::string tool() { return "\"$NETWORK_ROOT/scripts/ulmet-network\""; }
    static std::string centralSocket() { return central + "/mysqld.sock"; }
    static std::string onCentral(const std::string& args) {
        return "MYSQL_UNIX_PORT=" + centralSocket() + " " + tool() + " --conf-dir " + central +
               "/conf.d " + args;
    }
    // A station made a replication source (station-setup, restart), not
    // yet in the network.
    static void createStation(const std::string& name) {
        shell("station_create " + dir(name) + " " + name + " " + std::to_string(nextId++) + " " +
              certs);
    }
    static void addStation(const std::string& name, const std::string& options = "") {
        shell("central_add " + central + " " + name + " " + dir(name) + " " + certs + " " +
              options);
    }

    static void SetUpTestSuite() {
        root = std::make_unique<TempDir>("ulmet-net");
        certs = dir("certs");
        central = dir("central");
        shell("network_certs " + certs + "; central_create " + central);
        // The test's SQL helper opens UlmetDB; the central server has none.
        shell("node_sql " + central + " 'CREATE DATABASE UlmetDB'");
        for (const char* name : {"a", "b"}) createStation(name), addStation(name);
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
    static void insertRows(const std::string& name, int n) {
        static std::map<std::string, int> rowsOf, minutesOf;
        auto minute = [](int m) {
            return "'2026-12-07' + INTERVAL " + std::to_string(m) + " MINUTE";
        };
        std::string values;
        for (int i = 0; i < n; ++i) {
            int k = rowsOf[name]++;
            values += std::string(i ? "," : "") + "(" +
                      std::to_string((name[0] - 'a' + 1) * 100 + k % 40) + ", " +
                      std::to_string(2.4 + k * 0.001) + ", " + minute(k / 40) + ")";
        }
        sql::exec("INSERT INTO troposphericDelay (prn, td, data) VALUES " + values, socketOf(name));
        sql::exec(
            "INSERT INTO ipwv (ipwv_value, data) VALUES (1.25, " + minute(minutesOf[name]++) + ")",
            socketOf(name));
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

    // Waits until the central server holds every row of every named
    // station once, in UlmetDB_<station> and in the views.
    static void expectConverged(const std::vector<std::string>& names) {
        std::string report;
        bool done = waitFor(
            [&] {
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
            90s, 500ms);
        if (!done) ADD_FAILURE() << report << shell(onCentral("status"), true).output;
    }
};
std::unique_ptr<TempDir> Network::root;
std::string Network::certs, Network::central;
int Network::nextId = 11;

TEST_F(Network, ReplicatesOverTlsOnlyAndCatchesUpAfterEveryOutage) {
    // The replication account refuses a connection without TLS.
    EXPECT_NE(shell("mariadb --no-defaults -h127.0.0.1 -P$(node_port " + dir("a") +
                        ") -uulmet_repl -p$(cat " + dir("a") +
                        "/replication.password) --skip-ssl -e 'SELECT 1'",
                    true)
                  .output.find("Access denied"),
              std::string::npos);
    // Both connections use TLS and check the station's certificate.
    Shell show = shell("mariadb --no-defaults -S " + centralSocket() +
                       " -uroot -pkzqvwp -E -e 'SHOW ALL SLAVES STATUS' | grep -E "
                       "'Master_SSL_(Allowed|Verify_Server_Cert)'");
    EXPECT_EQ(count(show.output, ": Yes"), 4u) << show.output;

    insertRows("a", 30);
    insertRows("b", 20);
    expectConverged({"a", "b"});

    // An account created on a station while UlmetDB is the current
    // database, and a database of its own, are kept out by the filters;
    // the connection goes on.
    sql::exec("CREATE USER 'stray'@'192.0.2.1' IDENTIFIED BY 'x'", socketOf("a"));
    shell("node_sql " + dir("a") + " 'CREATE DATABASE scratch; CREATE TABLE scratch.t (x INT)'");
    insertRows("a", 5);
    expectConverged({"a", "b"});
    EXPECT_EQ(sql::scalar("SELECT (SELECT COUNT(*) FROM mysql.user WHERE user IN ('stray', "
                          "'ulmet_repl')) + (SELECT COUNT(*) FROM information_schema.schemata "
                          "WHERE schema_name = 'scratch')",
                          centralSocket()),
              "0");

    // The central server is down while both stations write.
    shell("node_stop " + central);
    insertRows("a", 40);
    insertRows("b", 40);
    shell("node_start " + central);
    insertRows("b", 3);
    expectConverged({"a", "b"});

    // Station a goes down with rows it has not sent: its connection was
    // stopped while it wrote them. b goes on meanwhile.
    shell("node_sql " + central + " \"STOP SLAVE 'a'\"");
    insertRows("a", 25);
    shell("node_stop " + dir("a") + "; node_sql " + central + " \"START SLAVE 'a'\"");
    insertRows("b", 7);
    expectConverged({"b"});
    Shell down = shell(onCentral("status"), true);
    EXPECT_EQ(down.status, 3) << down.output;
    EXPECT_NE(down.output.find("\na            connecting"), std::string::npos) << down.output;
    shell("node_start " + dir("a"));
    expectConverged({"a", "b"});

    // Replication stopped and started again for one station.
    shell("node_sql " + central + " \"STOP SLAVE 'b'\"");
    insertRows("b", 11);
    insertRows("a", 2);
    expectConverged({"a"});
    shell("node_sql " + central + " \"START SLAVE 'b'\"");
    expectConverged({"a", "b"});
    // One station's data drawn from the central server.
    EXPECT_NE(shell("\"$NETWORK_ROOT/tools/ulmet-plot\" --socket " + centralSocket() +
                    " --station a --from '2026-12-01 00:00' --to '2026-12-31 23:59' --out " +
                    root->file("a.png"))
                  .output.find(
                      " " + sql::scalar("SELECT COUNT(*) FROM troposphericDelay", socketOf("a")) +
                      " slant delays"),
              std::string::npos);
}

TEST_F(Network, StationsJoinAndLeaveWhileOthersReplicate) {
    // c has rows before it joins: they come with its snapshot, the later
    // ones through its connection.
    createStation("c");
    insertRows("c", 15);
    shell("MYSQL_UNIX_PORT=" + socketOf("c") + " " + tool() + " snapshot " + dir("c") +
          "/snapshot.sql");
    insertRows("a", 10);
    addStation("c");
    insertRows("c", 6);
    insertRows("b", 4);
    expectConverged({"a", "b", "c"});

    // c's later schema version (a new column) still fits in the views.
    sql::exec("ALTER TABLE ipwv ADD COLUMN extra_note DOUBLE NULL", socketOf("c"));
    sql::exec(
        "INSERT INTO ipwv (ipwv_value, extra_note, data) VALUES (1.5, 0.1, '2026-12-31 11:00:00')",
        socketOf("c"));
    expectConverged({"c"});
    shell(onCentral("views"));
    EXPECT_EQ(sql::scalar("SELECT GROUP_CONCAT(n ORDER BY n) FROM (SELECT CONCAT(station, "
                          "COUNT(extra_note)) n FROM UlmetNetwork.ipwv GROUP BY station) t",
                          centralSocket()),
              "a0,b0,c1");

    shell(onCentral("remove c"));
    insertRows("c", 5);
    insertRows("a", 5);
    expectConverged({"a", "b"});
    EXPECT_EQ(sql::scalar("SELECT COUNT(*) FROM UlmetNetwork.troposphericDelay WHERE station = 'c'",
                          centralSocket()),
              "0");
    // Its connection and filters are gone.
    EXPECT_EQ(
        shell("node_sql " + central + " 'SHOW ALL SLAVES STATUS' | cut -f1 | sort | tr '\\n' ' '")
            .output,
        "a b ");
    EXPECT_EQ(readFile(central + "/conf.d/61-ulmet-stations.cnf").find("c.replicate"),
              std::string::npos);
}

TEST_F(Network, StatusReportsMisconfiguredStationsAndTheOthersGoOn) {
    // Wrong password: the central server has another one than the station.
    // No binary log on e; f has the central server's server_id.
    for (const char* name : {"d", "e", "f"}) createStation(name);
    shell("echo wrong > " + dir("d") + "/wrong.password; cd " + root->path() +
          "; sed -i '/^log_bin/d' e/conf.d/60-ulmet-station.cnf; sed -i 's/^server_id = "
          ".*/server_id = 1/' "
          "f/conf.d/60-ulmet-station.cnf; for n in e f; do node_stop $PWD/$n; node_start $PWD/$n; "
          "done");
    addStation("d", "--password-file " + dir("d") + "/wrong.password --domain-id " +
                        std::to_string(nextId - 3));
    addStation("e");
    addStation("f");

    insertRows("a", 9);
    insertRows("b", 9);
    expectConverged({"a", "b"});
    Shell status;
    auto lineOf = [&](const std::string& name) {
        size_t at = status.output.find("\n" + name + " ");
        return at == std::string::npos
                   ? std::string()
                   : status.output.substr(at + 1, status.output.find('\n', at + 1) - at - 1);
    };
    bool reported = waitFor(
        [&] {
            status = shell(onCentral("status"), true);
            return lineOf("d").find("1045") != std::string::npos &&
                   lineOf("e").find("1236") != std::string::npos &&
                   lineOf("f").find("1593") != std::string::npos;
        },
        60s, 1s);
    EXPECT_TRUE(reported && status.status == 3) << status.output;
    for (const char* ok : {"a", "b"})
        EXPECT_NE(lineOf(ok).find(" replicating "), std::string::npos) << status.output;
    insertRows("a", 3);
    expectConverged({"a", "b"});
    for (const char* bad : {"d", "e", "f"}) shell(onCentral(std::string("remove ") + bad));
}

}  // namespace
