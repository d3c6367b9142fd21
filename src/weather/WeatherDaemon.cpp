#include "weather/WeatherDaemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>

#include "DeviceLock.h"
#include "ReceiverValues.h"
#include "RowSpool.h"
#include "serial.h"
#include "utilities.h"
#include "weather/NmeaWeather.h"
#include "weather/WeatherMinute.h"
#include "weather/WeatherStore.h"

const char* const kWeatherUsage =
    "usage: ulmet-weather [--device PATH] [--baud N] [--spool FILE] "
    "[--mda-pressure auto|station|sea-level] [--station-log]";

namespace {

volatile sig_atomic_t weatherRunning = 0;

void onStop(int) { weatherRunning = 0; }

struct Options {
    std::string device = "/dev/ttyUSB1";
    unsigned long baud = 4800;
    std::string spool = "weather-spool.sql";
    bool stationLog = false;
    MdaPressure mda = MdaPressure::Auto;
};

bool parseBaud(const char* text, unsigned long* baud) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v == 0 || v > 4000000) return false;
    *baud = v;
    return true;
}

// "" or what is wrong with the arguments.
std::string parseOptions(int argc, char** argv, Options* o) {
    if (const char* port = std::getenv("ULMET_WEATHER_PORT"); port != nullptr && *port != '\0')
        o->device = port;
    if (const char* baud = std::getenv("ULMET_WEATHER_BAUD"); baud != nullptr && *baud != '\0')
        if (!parseBaud(baud, &o->baud))
            return std::string("ULMET_WEATHER_BAUD is not a speed: ") + baud;
    if (const char* mda = std::getenv("ULMET_WEATHER_MDA_PRESSURE"); mda != nullptr && *mda != '\0')
        if (!parseMdaPressure(mda, &o->mda))
            return std::string("ULMET_WEATHER_MDA_PRESSURE is not auto, station or sea-level: ") +
                   mda;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--device" && hasValue) {
            o->device = argv[++i];
        } else if (a == "--baud" && hasValue) {
            if (!parseBaud(argv[++i], &o->baud)) return std::string("not a speed: ") + argv[i];
        } else if (a == "--spool" && hasValue) {
            o->spool = argv[++i];
        } else if (a == "--mda-pressure" && hasValue) {
            if (!parseMdaPressure(argv[++i], &o->mda))
                return std::string("--mda-pressure is auto, station or sea-level, not ") + argv[i];
        } else if (a == "--station-log") {
            o->stationLog = true;
        } else {
            return "unknown or incomplete option " + a + " (" + kWeatherUsage + ")";
        }
    }
    return "";
}

// One daemon per spool file (flock on <spool>.lock) and per device (an
// fcntl write lock on it); "" or why not.
std::string holdWeatherLocks(const Options& o) {
    std::string lockPath = o.spool + ".lock";
    int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0) return "cannot open " + lockPath + ": " + std::strerror(errno);
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0)
        return "another ulmet-weather holds " + lockPath;  // the descriptor stays open: harmless
    std::string holder;
    if (!lockDevice(o.device, &holder)) return "another process holds the device " + o.device;
    return "";  // both descriptors stay open for the daemon's life
}

std::string valueText(const std::vector<WeatherRow>& rows, int table) {
    for (const WeatherRow& r : rows) {
        if (r.table != table) continue;
        char text[32];
        (void)std::snprintf(text, sizeof text, "%.2f", r.value);
        return text;
    }
    return "";
}

struct Counters {
    unsigned long accepted = 0, dropped = 0, ignored = 0, rows = 0, rejected = 0;
};

// Sends the queued statements, oldest first, until one must wait.
// True when the queue changed.
bool drain(RowSpool& spool, Counters& counts) {
    bool changed = false;
    while (!spool.empty()) {
        std::string message;
        StoreOutcome outcome = storeWeatherStatement(spool.front(), &message);
        if (outcome == StoreOutcome::Kept) {
            std::cout << "Database unavailable (" << message << "); " << spool.size()
                      << " statement(s) wait in " << spool.path() << std::endl;
            break;
        }
        if (outcome == StoreOutcome::Rejected) {
            std::cout << "\nQuery Failed\n"
                      << "queryString : " << spool.front() << "\n"
                      << message << std::endl;
            ++counts.rejected;
        }
        spool.popFront();
        changed = true;
    }
    return changed;
}

}  // namespace

int runWeatherDaemon(int argc, char** argv) {
    Options o;
    std::string problem = parseOptions(argc, argv, &o);
    if (!problem.empty()) {
        std::cout << "ulmet-weather: " << problem << std::endl;
        return -1;
    }
    std::string refusal = holdWeatherLocks(o);
    if (!refusal.empty()) {
        std::cout << "ulmet-weather does not start: " << refusal << "." << std::endl;
        return -1;
    }
    RowSpool spool(o.spool, 100000, isWeatherRowStatement);
    try {
        std::size_t queued = spool.load();
        if (queued > 0) std::cout << queued << " statement(s) from " << o.spool << std::endl;
    } catch (const std::exception& e) {
        std::cout << "Error in [ spool LOADING ] : " << e.what() << std::endl;
        return -1;
    }

    struct sigaction action = {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    weatherRunning = 1;

    Counters counts;
    MinuteAverager minutes(o.mda);
    NmeaLineReader reader;
    std::time_t nextTry = 0;
    int status = 0;
    try {
        serial::Serial port(o.device, static_cast<uint32_t>(o.baud),
                            serial::Timeout::simpleTimeout(250), serial::eightbits,
                            serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
        std::cout << "ulmet-weather: reading " << o.device << " at " << o.baud
                  << " baud, 8N1; MDA pressure: " << mdaPressureName(o.mda) << std::endl;
        std::vector<uint8_t> buffer(4096);
        while (weatherRunning) {
            std::size_t n = port.read(buffer.data(), buffer.size());
            std::time_t now = std::time(nullptr);
            std::vector<WeatherRow> rows = minutes.due(now);
            for (const WeatherRow& r : rows) {
                spool.push(format_query(r.table, static_cast<float>(r.value), r.datatime.c_str()));
                ++counts.rows;
                std::printf(
                    "Minute %s: %s %.2f (%d samples)\n", r.datatime.c_str(),
                    r.table == 0 ? (r.fromMda ? "P(MDA)" : "P") : (r.table == 1 ? "T" : "RH"),
                    r.value, r.samples);
            }
            if (!rows.empty()) {
                (void)std::fflush(stdout);
                if (o.stationLog)
                    arduinoLogFile(rows.front().datatime + "," + valueText(rows, 0) + "," +
                                   valueText(rows, 1) + "," + valueText(rows, 2));
                nextTry = 0;  // a new row: try the database at once
            }
            reader.feed(reinterpret_cast<const char*>(buffer.data()), n,
                        [&](const std::string& line) {
                            NmeaResult r = parseNmeaSentence(line);
                            if (r.status == NmeaStatus::Ok) {
                                minutes.add(now, r.sample);
                                ++counts.accepted;
                            } else if (r.status == NmeaStatus::Ignored) {
                                ++counts.ignored;
                            } else {
                                ++counts.dropped;
                                // Sensor bytes reach the terminal and the journal
                                // escaped, never raw.
                                std::cout << "Dropped sentence (" << nmeaStatusName(r.status)
                                          << ": " << receiver::printable(r.reason)
                                          << "): " << receiver::printable(line) << std::endl;
                            }
                        });
            if (!spool.empty() && now >= nextTry) {
                if (drain(spool, counts)) spool.sync(false);
                if (!spool.empty()) {
                    spool.sync(false);
                    nextTry = now + 5;
                }
            }
        }
    } catch (const std::exception& e) {
        std::cout << "Error in [ sensor READING ] : " << e.what() << std::endl;
        status = -1;
    }
    spool.sync(true);
    std::cout << "ulmet-weather: " << counts.accepted << " samples, " << counts.dropped
              << " dropped, " << counts.ignored << " ignored, " << counts.rows << " rows, "
              << spool.size() << " waiting in the spool" << std::endl;
    return status;
}
