// Cost of storing rows in troposphericDelay: one connection per row (what
// the daemon does) against the same INSERT on one kept connection, and a
// whole minute of 30 satellites through the log assembly.
//
// Server: the one named by MYSQL_UNIX_PORT, or else a private server that
// the benchmark starts with tests/support/mariadb.sh in a temporary
// directory and removes at the end. Standard output goes to /dev/null while
// the assembly runs.
//
//   build-*/bench/bench_storage
//   MYSQL_UNIX_PORT=/path/mysqld.sock build-*/bench/bench_storage
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"
#include "DBConfig.h"
#include "Database.h"
#include "acquisition/LogAssembly.h"
#include "gnssFunctions.h"

namespace {

std::string sourceDir() {
    std::string file = __FILE__;  // <source>/bench/bench_storage.cpp
    std::string::size_type slash = file.rfind('/');
    slash = file.rfind('/', slash - 1);
    return file.substr(0, slash);
}

const char* statement(int prn) {
    return format_troposphericDelayQuery("2018-05-06 00:01:00", 45.123456789012, 7.123456789012,
                                         80.12345, 1.5, 1.25, 3.0, prn, 45.5, 2.35);
}

void truncateTable() {
    Database db;
    db.openConnection(host, database, user, password);
    db.updateQuery("TRUNCATE TABLE troposphericDelay");
    db.disconnect();
}

void BM_RowConnectionPerRow(benchmark::State& state) {
    truncateTable();
    int prn = 0;
    for (auto _ : state) {
        if (LogAssembly::storeInDatabase(statement(++prn % 60)) != StoreOutcome::Stored) {
            state.SkipWithError("INSERT failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RowConnectionPerRow)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RowKeptConnection(benchmark::State& state) {
    truncateTable();
    Database db;
    db.openConnection(host, database, user, password);
    int prn = 0;
    for (auto _ : state) {
        if (db.updateQuery(statement(++prn % 60))) {
            state.SkipWithError("INSERT failed");
            break;
        }
    }
    db.disconnect();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RowKeptConnection)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One minute of 30 satellites, all above the cut-off, through the pass:
// parsing, printing and 30 rows on 30 connections.
void BM_MinuteOf30Satellites(benchmark::State& state) {
    truncateTable();
    char dir[] = "/tmp/ulmet-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    std::string head = "PORT1,0,55.0,FINECLOCK,2000,60.000,02000000,b1f6,16248";
    std::string bestpos = "BESTPOSA," + head +
                          ";SOLVED,SINGLE,45.12345678901,7.12345678901,80.1234,47.9,WGS84,"
                          "1.5,1.25,3.0,\"\",0,0,18,17,17,17,00,06,30,33";
    std::string xyz = "SATXYZ2A," + head + ";30";
    std::string vis = "SATVISA," + head + ";TRUE,TRUE,30";
    for (int k = 1; k <= 30; ++k) {
        xyz += ",GPS," + std::to_string(k) + ",-2.1e7,1.4e7,8.0e6,1.2e-4,3.1,2.35,0,0";
        vis += "," + std::to_string(k) + ",0,0," + std::to_string(31 + 2 * k) + ".5,120,-1,-1";
    }
    // Each log framed as the receiver does: "#", text, "*", checksum.
    std::string minute;
    for (const std::string* log : {&bestpos, &xyz, &vis}) minute += frameLog(*log);

    LogAssemblyOptions options;
    options.spoolPath = std::string(dir) + "/spool.sql";
    {
        QuietStdout quiet;
        LogAssembly assembly(30.0, options);
        for (auto _ : state) assembly.pass(minute);
        if (assembly.keptRows() != 0) state.SkipWithError("rows were kept");
    }
    rmdir(dir);
    state.SetItemsProcessed(state.iterations() * 30);
}
BENCHMARK(BM_MinuteOf30Satellites)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string serverDir;
    const char* socket = std::getenv("MYSQL_UNIX_PORT");
    if (socket == nullptr || *socket == '\0') {
        char dir[] = "/tmp/ulmet-bsrv.XXXXXX";
        if (mkdtemp(dir) == nullptr) return 1;
        serverDir = dir;
        std::string script = sourceDir() + "/tests/support/mariadb.sh";
        std::string command = "'" + script + "' start " + serverDir + " '" + sourceDir() +
                              "/db/schema.sql' >/dev/null";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "bench_storage: cannot start a server in %s\n", dir);
            return 1;
        }
        // Before the first client call: the library reads it once.
        setenv("MYSQL_UNIX_PORT", (serverDir + "/mysqld.sock").c_str(), 1);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!serverDir.empty()) {
        std::string command =
            "'" + sourceDir() + "/tests/support/mariadb.sh' destroy " + serverDir + " >/dev/null";
        if (std::system(command.c_str()) != 0) return 1;
    }
    return 0;
}
