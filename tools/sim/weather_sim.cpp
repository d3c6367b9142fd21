// Weather-station simulator: stores one pressure, temperature and relative
// humidity reading per minute in the station's weather tables, as the
// station's real weather logger would.
//
//   weather_sim [--seed N] [--second S] [--once] [--quiet]
//
// The readings are smooth functions of the minute (slow synoptic waves, a
// daily temperature cycle, small short-period ripples) whose phases come
// from the seed, so a given seed and minute always give the same values.
// Each minute's rows are stamped "YYYY-MM-DD HH:MM:SS" with the minute of
// the local clock and second S (default 5). The rows of the current minute
// are stored at start, then those of every following minute at its second
// S, until SIGINT or SIGTERM. A reading the database did not take is tried
// again every few seconds until its minute is over. --once stores the
// current minute and ends (exit status 1 if a row could not be stored).
// The database login is the programs' (DbSettings.h: ULMET_DB_CONFIG).
#include <mysql.h>
#include <signal.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "DBConfig.h"
#include "Database.h"
#include "DbSettings.h"
#include "utilities.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

const double kPi = 3.14159265358979323846;

struct Readings {
    double pressure;     // hPa
    double temperature;  // degrees Celsius
    double humidity;     // percent
};

// splitmix64: a well-mixed 64-bit value from the seed and a salt.
uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A number in [0, 1) fixed by the seed and the salt.
double unit(uint64_t seed, uint64_t salt) {
    return static_cast<double>(mix(seed * 1000003ULL + salt) >> 11) / 9007199254740992.0;
}

// One sinusoid of the given period (minutes) with a phase from the seed.
double wave(uint64_t seed, uint64_t salt, double minute, double periodMinutes) {
    return std::sin(2.0 * kPi * (minute / periodMinutes + unit(seed, salt)));
}

// The readings of a minute, counted in whole minutes since the epoch.
Readings readingsAt(uint64_t seed, long long minuteSinceEpoch) {
    const double m = static_cast<double>(minuteSinceEpoch);
    const double minuteOfDay = static_cast<double>(minuteSinceEpoch % 1440);
    Readings r{};
    r.pressure = 1006.0 + 12.0 * unit(seed, 1) + 6.0 * wave(seed, 2, m, 3.1 * 1440.0) +
                 1.5 * wave(seed, 3, m, 7.3 * 60.0) +
                 0.5 * std::sin(4.0 * kPi * minuteOfDay / 1440.0) + 0.15 * wave(seed, 4, m, 41.0);
    // Daily cycle: coldest near 05:00, warmest near 15:00 of the clock.
    r.temperature = 10.0 + 8.0 * unit(seed, 5) +
                    6.0 * std::sin(2.0 * kPi * (minuteOfDay - 540.0) / 1440.0) +
                    2.0 * wave(seed, 6, m, 4.3 * 1440.0) + 0.3 * wave(seed, 7, m, 67.0);
    // Relative humidity falls as the air warms.
    r.humidity = 70.0 + 10.0 * unit(seed, 8) - 2.8 * (r.temperature - 14.0) +
                 7.0 * wave(seed, 9, m, 17.0 * 60.0) + 1.5 * wave(seed, 10, m, 53.0);
    if (r.humidity < 8.0) r.humidity = 8.0;
    if (r.humidity > 99.0) r.humidity = 99.0;
    return r;
}

bool storeRow(int table, double value, char* datatime) {
    char* statement = format_query(table, static_cast<float>(value), datatime);
    auto db = std::make_unique<Database>();
    db->openConnection(host, database, user, password);
    bool failed = db->updateQuery(statement);
    if (failed)
        std::printf("weather_sim: not stored (%s): %s\n", db->errorMessage().c_str(), statement);
    db->disconnect();
    return !failed;
}

struct Minute {
    long long index = -1;  // minutes since the epoch
    bool stored[3] = {false, false, false};
    bool complete() const { return stored[0] && stored[1] && stored[2]; }
};

// Stores whatever of the minute's three readings is not stored yet.
void storeMinute(uint64_t seed, int second, time_t now, Minute& minute, bool quiet) {
    struct tm local {};
    localtime_r(&now, &local);
    local.tm_sec = second;
    char datatime[32];
    std::strftime(datatime, sizeof datatime, "%Y-%m-%d %H:%M:%S", &local);
    Readings r = readingsAt(seed, minute.index);
    const double values[3] = {r.pressure, r.temperature, r.humidity};
    for (int table = 0; table < 3; ++table) {
        if (!minute.stored[table]) minute.stored[table] = storeRow(table, values[table], datatime);
    }
    if (minute.complete() && !quiet) {
        std::printf("weather_sim: %s  P = %.2f hPa  T = %.2f C  RH = %.2f %%\n", datatime,
                    r.pressure, r.temperature, r.humidity);
    }
    std::fflush(stdout);
}

// Minutes since the epoch of the local clock's current minute.
long long localMinute(time_t now) {
    struct tm local {};
    localtime_r(&now, &local);
    return static_cast<long long>((now + local.tm_gmtoff) / 60);
}

void usage() {
    std::fprintf(stderr, "usage: weather_sim [--seed N] [--second S] [--once] [--quiet]\n");
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1;
    int second = 5;
    bool once = false;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--second" && i + 1 < argc) {
            second = std::atoi(argv[++i]);
            if (second < 0 || second > 59) {
                usage();
                return 2;
            }
        } else if (arg == "--once") {
            once = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            usage();
            return 2;
        }
    }

    if (!checkDbSettings()) return 1;

    struct sigaction action {};
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Minute minute;
    minute.index = localMinute(time(nullptr));
    storeMinute(seed, second, time(nullptr), minute, quiet);
    if (once) {
        mysql_library_end();
        return minute.complete() ? 0 : 1;
    }

    time_t lastTry = time(nullptr);
    while (!stopRequested) {
        struct timespec pause = {0, 200 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        long long current = localMinute(now);
        if (current != minute.index) {
            // A new minute: its readings are due at its second S.
            if (local.tm_sec < second) continue;
            minute = Minute();
            minute.index = current;
            storeMinute(seed, second, now, minute, quiet);
            lastTry = now;
        } else if (!minute.complete() && now - lastTry >= 5) {
            storeMinute(seed, second, now, minute, quiet);
            lastTry = now;
        }
    }
    std::printf("weather_sim: stopped\n");
    std::fflush(stdout);
    mysql_library_end();
    return 0;
}
