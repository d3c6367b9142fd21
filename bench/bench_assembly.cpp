// Throughput of the log parsers and the log assembly over a recorded stream
// of many minutes, and the memory the assembly needs over a long stream.
//
// The assembly prints every log it handles; standard output is sent to
// /dev/null while a benchmark runs (the reports still reach the terminal).
// Rows go to a sink that only counts them: database costs are measured by
// bench_storage.
//
//   build-*/bench/bench_assembly [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ReceiverLog.h"
#include "RowSpool.h"
#include "acquisition/LogAssembly.h"
#include "gnssFunctions.h"
#include "list_ports_linux.h"

namespace {

using serial::detail::format;

// The three logs of one minute, as the receiver frames them, with
// `satellites` satellites (a fifth of them below the cut-off).
struct Minute {
    std::string bestpos, satxyz2, satvis;
    std::string all() const { return bestpos + satxyz2 + satvis; }
};

Minute makeMinute(long index, int satellites) {
    int week = 2000 + static_cast<int>(index / 10080);
    double seconds = static_cast<double>((index % 10080) * 60);
    std::string head = format("PORT1,0,55.0,FINECLOCK,%d,%.3f,02000000,b1f6,16248", week, seconds);
    Minute m;
    m.bestpos = format(
        "#BESTPOSA,%s;SOLVED,SINGLE,%.11f,%.11f,%.4f,47.9,WGS84,%.4f,%.4f,%.4f,"
        "\"\",0.000,0.000,18,17,17,17,00,06,30,33",
        head.c_str(), 45.0 + 1e-6 * static_cast<double>(index % 97),
        7.0 + 1e-6 * static_cast<double>(index % 89), 80.0 + 0.01 * static_cast<double>(index % 13),
        1.5, 1.25, 3.0);
    m.satxyz2 = format("#SATXYZ2A,%s;%d", head.c_str(), satellites);
    m.satvis = format("#SATVISA,%s;TRUE,TRUE,%d", head.c_str(), satellites);
    for (int k = 0; k < satellites; ++k) {
        bool glonass = k % 3 == 2;
        int prn = glonass ? 38 + k : 1 + k;
        std::string id = glonass ? format("%d+%d", prn - 37, k % 7 - 3) : format("%d", prn);
        m.satxyz2 += format(",%s,%s,%.4f,%.4f,%.4f,%.6f,%.4f,%.4f,0,0", glonass ? "GLONASS" : "GPS",
                            id.c_str(), -21234567.1234 + k, 14234567.5678 - k, 8234567.9012 + 2 * k,
                            1.2e-4, 3.1 + 0.01 * k, 2.3 + 0.01 * k);
        double elevation = (k % 5 == 4) ? 12.5 : 30.0 + static_cast<double>((k * 7 + index) % 60);
        m.satvis += format(",%d,0,0,%.2f,%.2f,-1234.567,-1234.568", prn, elevation, 3.0 * k);
    }
    m.bestpos = frameLog(m.bestpos.substr(1));
    m.satxyz2 = frameLog(m.satxyz2.substr(1));
    m.satvis = frameLog(m.satvis.substr(1));
    return m;
}

std::string stream(long minutes, int satellites) {
    std::string s;
    for (long i = 0; i < minutes; ++i) s += makeMinute(i, satellites).all();
    return s;
}

LogAssemblyOptions countingSink(long* rows, StoreOutcome answer = StoreOutcome::Stored) {
    LogAssemblyOptions options;
    options.spoolPath = "";
    options.sink = [rows, answer](const char*) {
        ++*rows;
        return answer;
    };
    return options;
}

long residentKiB() {
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peakKiB() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Memory over 10,000 minutes fed in reads of 240 bytes (what 250 ms of a
// 9600-baud line carry), with the database up and with it away the whole
// time (rows kept in memory up to the limit of 100,000). Runs first so
// that the peak is its own.
void BM_LongStreamMemory(benchmark::State& state) {
    const bool away = state.range(0) != 0;
    const long minutes = 10000;
    for (auto _ : state) {
        long rows = 0;
        long before = residentKiB();
        QuietStdout quiet;
        LogAssembly assembly(30.0,
                             countingSink(&rows, away ? StoreOutcome::Kept : StoreOutcome::Stored));
        std::size_t bytes = 0;
        for (long i = 0; i < minutes; ++i) {
            std::string text = makeMinute(i, 20).all();
            for (std::size_t at = 0; at < text.size(); at += 240)
                assembly.pass(text.substr(at, 240));
            bytes += text.size();
        }
        state.counters["minutes"] = minutes;
        state.counters["rows_attempted"] = static_cast<double>(rows);
        state.counters["kept_rows"] = static_cast<double>(assembly.keptRows());
        state.counters["rss_growth_MiB"] = static_cast<double>(residentKiB() - before) / 1024.0;
        state.counters["peak_rss_MiB"] = static_cast<double>(peakKiB()) / 1024.0;
        state.SetBytesProcessed(static_cast<int64_t>(bytes));
    }
}
BENCHMARK(BM_LongStreamMemory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// Parsing plus assembly over a recorded stream of 1,000 minutes of 20
// satellites, in reads of the given size.
void BM_AssemblyThroughput(benchmark::State& state) {
    static const std::string recorded = stream(1000, 20);
    const std::size_t readSize = static_cast<std::size_t>(state.range(0));
    long rows = 0;
    QuietStdout quiet;
    for (auto _ : state) {
        LogAssembly assembly(30.0, countingSink(&rows));
        for (std::size_t at = 0; at < recorded.size(); at += readSize)
            assembly.pass(recorded.substr(at, readSize));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * recorded.size()));
    state.counters["rows_per_s"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AssemblyThroughput)->Arg(240)->Arg(8192)->Unit(benchmark::kMillisecond);

// The same with the running account dropped inside the process (std::cout
// writes into a buffer that discards everything): parsing, joining,
// statement building and formatting, without the console's system calls.
void BM_AssemblyThroughputNoConsole(benchmark::State& state) {
    struct Discard : std::streambuf {
        int overflow(int c) override { return c; }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    } discard;
    static const std::string recorded = stream(1000, 20);
    const std::size_t readSize = static_cast<std::size_t>(state.range(0));
    long rows = 0;
    std::streambuf* saved = std::cout.rdbuf(&discard);
    for (auto _ : state) {
        LogAssembly assembly(30.0, countingSink(&rows));
        for (std::size_t at = 0; at < recorded.size(); at += readSize)
            assembly.pass(recorded.substr(at, readSize));
    }
    std::cout.rdbuf(saved);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * recorded.size()));
    state.counters["rows_per_s"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AssemblyThroughputNoConsole)->Arg(240)->Arg(8192)->Unit(benchmark::kMillisecond);

// Bytes a process has handed to write(2) so far.
long long bytesWritten() {
    std::ifstream in("/proc/self/io");
    std::string key;
    long long value = 0;
    while (in >> key >> value)
        if (key == "wchar:") return value;
    return -1;
}

// The spool at its limit of 100,000 rows while the database stays away:
// every minute 16 new rows come in and as many of the oldest go. Counts
// the bytes written to the spool file per minute (appends, and the rare
// rewrite once the stale lines are as many as the queued ones), over 7,000
// minutes, which include one rewrite.
void BM_SpoolAtItsLimit(benchmark::State& state) {
    struct Discard : std::streambuf {
        int overflow(int c) override { return c; }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    } discard;
    const long minutes = 7000, perMinute = 16, limit = 100000;
    char dir[] = "/tmp/ulmet-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string path = std::string(dir) + "/spool.sql";
    auto statement = [](long i) {
        return std::string(format_troposphericDelayQuery(
            format("2018-05-%02ld %02ld:%02ld:00", 1 + i / 16 / 1440, i / 16 / 60 % 24, i / 16 % 60)
                .c_str(),
            45.123456789012, 7.123456789012, 80.12345, 1.5, 1.25, 3.0, static_cast<int>(1 + i % 16),
            45.5, 2.35));
    };
    std::streambuf* saved = std::cout.rdbuf(&discard);
    for (auto _ : state) {
        {
            std::ofstream out(path);
            for (long i = 0; i < limit; ++i) out << statement(i) << "\n";
        }
        RowSpool spool(path, limit);
        spool.load();
        long long before = bytesWritten(), largest = 0;
        for (long m = 0; m < minutes; ++m) {
            long long start = bytesWritten();
            for (long k = 0; k < perMinute; ++k) spool.push(statement(limit + m * perMinute + k));
            spool.sync(false);
            largest = std::max(largest, bytesWritten() - start);
        }
        state.counters["bytes_per_minute"] =
            static_cast<double>(bytesWritten() - before) / static_cast<double>(minutes);
        state.counters["row_bytes_per_minute"] =
            static_cast<double>(perMinute * (statement(0).size() + 1));
        state.counters["largest_minute_bytes"] = static_cast<double>(largest);
    }
    std::cout.rdbuf(saved);
    std::remove(path.c_str());
    rmdir(dir);
}
BENCHMARK(BM_SpoolAtItsLimit)->Iterations(1)->Unit(benchmark::kMillisecond);

// The parsers alone, one log at a time (no printing involved).
void BM_ParseSatxyz2(benchmark::State& state) {
    Minute m = makeMinute(1, 20);
    std::string log = m.satxyz2.substr(0, m.satxyz2.find('*'));
    for (auto _ : state) {
        ReceiverLog parser("#SATXYZ2A", log, 30.0);
        benchmark::DoNotOptimize(parser.satxyz2Data.TD.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.size()));
}
BENCHMARK(BM_ParseSatxyz2);

void BM_ParseSatvisJoined(benchmark::State& state) {
    Minute m = makeMinute(1, 20);
    ReceiverLog xyz("#SATXYZ2A", m.satxyz2.substr(0, m.satxyz2.find('*')), 30.0);
    std::string log = m.satvis.substr(0, m.satvis.find('*'));
    for (auto _ : state) {
        ReceiverLog parser("#SATVISA", log, xyz.satxyz2Data, 30.0);
        benchmark::DoNotOptimize(parser.satvisData.TD.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.size()));
}
BENCHMARK(BM_ParseSatvisJoined);

void BM_ParseBestpos(benchmark::State& state) {
    Minute m = makeMinute(1, 20);
    std::string log = m.bestpos.substr(0, m.bestpos.find('*'));
    for (auto _ : state) {
        ReceiverLog parser("#BESTPOSA", log, 30.0);
        benchmark::DoNotOptimize(parser.bestposData.position);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.size()));
}
BENCHMARK(BM_ParseBestpos);

// What the pass prints and formats for one minute, without any parsing:
// the two record printers (a flush per line) and one statement and one
// success line per row.
void BM_PrintAndFormatMinute(benchmark::State& state) {
    Minute m = makeMinute(1, 20);
    ReceiverLog xyz("#SATXYZ2A", m.satxyz2.substr(0, m.satxyz2.find('*')), 30.0);
    ReceiverLog vis("#SATVISA", m.satvis.substr(0, m.satvis.find('*')), xyz.satxyz2Data, 30.0);
    const satvis& v = vis.satvisData;
    QuietStdout quiet;
    for (auto _ : state) {
        printLogSatxyz2(xyz.satxyz2Data);
        printLogSatvis(v);
        for (std::size_t i = 0; i < v.PRN_vis.size(); ++i) {
            benchmark::DoNotOptimize(
                format_troposphericDelayQuery(v.datatime.c_str(), 45.1, 7.2, 80.3, 1.5, 1.25, 3.0,
                                              v.PRN_vis[i], v.Elevation[i], v.TD[i]));
            std::cout << "Successful query. troposphericDelay Data correctly stored.\n";
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.all().size()));
}
BENCHMARK(BM_PrintAndFormatMinute);

}  // namespace

BENCHMARK_MAIN();
