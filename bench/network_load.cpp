// Load of many stations on a central server: station servers receive
// troposphericDelay rows as single-row transactions (as Corvana stores
// them) at a given total rate, while probe rows measure how long a row
// takes to appear on the central server. Used by bench/network_capacity.sh.
//
//   network_load --central SOCKET --station NAME=SOCKET [--station ...]
//                [--rate ROWS_PER_S] [--seconds S] [--fill ROWS]
//
// --rate/--seconds: paced load, then the lag statistics of the probes
// (percentiles of the time from a probe's INSERT on its station to its
// visibility on the central server) and the rate reached.
// --fill ROWS: ROWS rows per station as fast as they go, no probes.
#include <mysql.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

MYSQL* connect(const std::string& socket, const char* database) {
    MYSQL* conn = mysql_init(nullptr);
    if (mysql_real_connect(conn, "localhost", "root", "kzqvwp", database, 0, socket.c_str(), 0) ==
        nullptr)
        throw std::runtime_error("cannot connect to " + socket + ": " + mysql_error(conn));
    return conn;
}

void run(MYSQL* conn, const std::string& statement) {
    if (mysql_query(conn, statement.c_str()) != 0)
        throw std::runtime_error(statement + ": " + mysql_error(conn));
    if (MYSQL_RES* result = mysql_store_result(conn)) mysql_free_result(result);
}

unsigned long long scalar(MYSQL* conn, const std::string& query) {
    if (mysql_query(conn, query.c_str()) != 0)
        throw std::runtime_error(query + ": " + mysql_error(conn));
    MYSQL_RES* result = mysql_store_result(conn);
    MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr;
    unsigned long long value = (row && row[0]) ? std::strtoull(row[0], nullptr, 10) : 0;
    if (result) mysql_free_result(result);
    return value;
}

struct Station {
    std::string name, socket;
    std::atomic<unsigned long long> inserted{0};
    std::mutex probeLock;
    std::map<unsigned long long, Clock::time_point> probes;  // ipwv id -> sent
};

const char* kRow =
    "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, longitudeErr, "
    "heightErr, prn, elevation, td, data) VALUES (46.5, 6.6, 420.1, 0.5, 0.4, 0.9, ";

// Rows of one run share the run's start time and differ by satellite
// number: each (time, satellite) pair occurs once, as in real data.
void load(Station& s, double rate, Clock::time_point end, unsigned long long fill) {
    MYSQL* conn = connect(s.socket, "UlmetDB");
    char stamp[20];
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
    auto start = Clock::now();
    for (unsigned long long i = 0;; ++i) {
        if (fill != 0 ? i >= fill : Clock::now() >= end) break;
        if (rate > 0) {
            auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(i) / rate));
            if (due > Clock::now()) std::this_thread::sleep_until(due);
        }
        char row[160];
        std::snprintf(row, sizeof row, "%llu, %.3f, %.6f, '%s')", i + 1,
                      30.0 + static_cast<double>(i % 60),
                      2.4 + static_cast<double>(i % 1000) * 1e-4, stamp);
        run(conn, std::string(kRow) + row);
        s.inserted++;
    }
    mysql_close(conn);
}

void probe(Station& s, Clock::time_point end) {
    MYSQL* conn = connect(s.socket, "UlmetDB");
    while (Clock::now() < end) {
        auto sent = Clock::now();
        run(conn, "INSERT INTO ipwv (ipwv_value, data) VALUES (1.0, '2026-12-07 00:00:00')");
        std::lock_guard<std::mutex> lock(s.probeLock);
        s.probes[mysql_insert_id(conn)] = sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    mysql_close(conn);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    std::string central;
    std::vector<std::unique_ptr<Station>> stations;
    double rate = 1000;
    int seconds = 20;
    unsigned long long fill = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i], val = argv[i + 1];
        if (opt == "--central")
            central = val;
        else if (opt == "--station") {
            auto st = std::make_unique<Station>();
            st->name = val.substr(0, val.find('='));
            st->socket = val.substr(val.find('=') + 1);
            stations.push_back(std::move(st));
        } else if (opt == "--rate")
            rate = std::atof(val.c_str());
        else if (opt == "--seconds")
            seconds = std::atoi(val.c_str());
        else if (opt == "--fill")
            fill = std::strtoull(val.c_str(), nullptr, 10);
        else {
            std::fprintf(stderr, "network_load: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (stations.empty() || (central.empty() && fill == 0)) {
        std::fprintf(stderr, "network_load: --central SOCKET --station NAME=SOCKET ...\n");
        return 2;
    }
    try {
        auto start = Clock::now();
        auto end = start + std::chrono::seconds(seconds);
        std::vector<std::thread> threads;
        for (auto& s : stations)
            threads.emplace_back(load, std::ref(*s),
                                 fill ? 0 : rate / static_cast<double>(stations.size()), end, fill);
        if (fill) {
            for (auto& t : threads) t.join();
            double took = std::chrono::duration<double>(Clock::now() - start).count();
            std::printf("filled %llu rows per station in %.1f s (%.0f rows/s in all)\n", fill, took,
                        static_cast<double>(fill * stations.size()) / took);
            return 0;
        }
        for (auto& s : stations) threads.emplace_back(probe, std::ref(*s), end);

        // The central server is polled for the newest probe of each station.
        MYSQL* c = connect(central, nullptr);
        std::vector<double> lags;
        std::map<std::string, unsigned long long> seen;
        auto drainDeadline = end + std::chrono::seconds(120);
        bool drained = false;
        Clock::time_point drainedAt;
        while (Clock::now() < drainDeadline) {
            bool allCaughtUp = Clock::now() >= end;
            for (auto& s : stations) {
                unsigned long long top =
                    scalar(c, "SELECT IFNULL(MAX(id), 0) FROM UlmetDB_" + s->name + ".ipwv");
                auto now = Clock::now();
                std::lock_guard<std::mutex> lock(s->probeLock);
                for (auto it = s->probes.begin(); it != s->probes.end() && it->first <= top;) {
                    lags.push_back(std::chrono::duration<double>(now - it->second).count());
                    it = s->probes.erase(it);
                }
                if (!s->probes.empty()) allCaughtUp = false;
            }
            if (allCaughtUp) {
                for (auto& t : threads)
                    if (t.joinable()) t.join();
                bool rowsIn = true;
                for (auto& s : stations)
                    rowsIn = rowsIn && scalar(c, "SELECT COUNT(*) FROM UlmetDB_" + s->name +
                                                     ".troposphericDelay") >= s->inserted.load();
                if (rowsIn) {
                    drained = true;
                    drainedAt = Clock::now();
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (auto& t : threads)
            if (t.joinable()) t.join();
        unsigned long long total = 0;
        for (auto& s : stations) total += s->inserted;
        double reached = static_cast<double>(total) / double(seconds);
        std::printf(
            "target %.0f rows/s, reached %.0f rows/s = %.0f station-equivalents at 30 rows/min; "
            "lag p50 %.3f s, p95 %.3f s, max %.3f s (%zu probes); %s\n",
            rate, reached, reached * 2, percentile(lags, 0.5), percentile(lags, 0.95),
            percentile(lags, 1.0), lags.size(),
            drained ? ("central complete " +
                       std::to_string(std::chrono::duration<double>(drainedAt - end).count())
                           .substr(0, 5) +
                       " s after the load ended")
                          .c_str()
                    : "central NOT complete within 120 s");
        mysql_close(c);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "network_load: %s\n", e.what());
        return 1;
    }
    return 0;
}
