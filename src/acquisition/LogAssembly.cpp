#include "acquisition/LogAssembly.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <vector>

#include "DBConfig.h"
#include "Database.h"
#include "ReceiverLog.h"
#include "ReceiverValues.h"
#include "gnssFunctions.h"

namespace {
// Why the last row that the database sink did not store failed, as the
// server or client library said it ("error 1205: Lock wait timeout ...").
std::string lastFailure;

// A troposphericDelay statement that its buffer did not cut: it still ends
// with the quote and parenthesis around the date-time and the ";".
bool wholeStatement(const char* statement) {
    std::size_t length = std::strlen(statement);
    return length >= 3 && std::strcmp(statement + length - 3, "');") == 0;
}
}  // namespace

LogAssembly::LogAssembly(double cutOff) : LogAssembly(cutOff, LogAssemblyOptions()) {}

LogAssembly::LogAssembly(double cutOff, LogAssemblyOptions assemblyOptions)
    : elevCutOff(cutOff),
      options(std::move(assemblyOptions)),
      latitude(0.0),
      longitude(0.0),
      height(0.0),
      latitudeErr(0.0),
      longitudeErr(0.0),
      heightErr(0.0),
      positionKnown(false),
      satxyz2EpochKnown(false),
      satxyz2Week(0),
      satxyz2Seconds(0.0),
      badChecksums(0),
      refused(0),
      goodLogs(0),
      receivedRows(0),
      lastClockOffset(std::nan("")),
      spool(this->options.spoolPath, this->options.spoolLimit),
      started(false),
      draining(false),
      failedNow(false),
      lastAttempt(std::chrono::steady_clock::now()) {
    if (!this->options.sink) this->options.sink = &LogAssembly::storeInDatabase;
}

LogAssembly::~LogAssembly() { std::cout.flush(); }

std::size_t LogAssembly::keptRows() const { return spool.size(); }

std::size_t LogAssembly::finishSpool(std::size_t* lost) {
    spool.sync(true);
    *lost = spool.inMemoryOnly();
    return options.spoolPath.empty() ? spool.size() : spool.inFile();
}

StoreOutcome LogAssembly::storeInDatabase(const char* queryString) {
    auto DB = std::make_unique<Database>();
    // A refused login (access denied, unknown database) is the reason
    // the row is not stored, not the failed statement that would follow.
    bool failed =
        DB->openConnection(host, database, user, password) != 200 || DB->updateQuery(queryString);
    unsigned int error = DB->errorNumber();
    if (failed) lastFailure = "error " + std::to_string(error) + ": " + DB->errorMessage();
    DB->disconnect();
    return storeOutcome(failed, error);
}

void LogAssembly::start() {
    if (started) return;
    std::size_t loaded = spool.load();
    started = true;
    if (loaded > 0) {
        std::cout << loaded << " rows kept by an earlier run (" << spool.path()
                  << "): storing them first." << std::endl;
        retryKept();
    }
}

void LogAssembly::pass(const std::string& tmp_input) {
    if (!started) start();
    failedNow = false;
    if (!spool.empty() &&
        (draining || std::chrono::steady_clock::now() - lastAttempt >= options.retryInterval)) {
        retryKept();
    }
    if (tmp_input.empty()) return;

    bool cut = false;
    const std::vector<FramedLog> logs = framer.feed(tmp_input, &cut);
    if (cut)
        std::cout << "No \"*\" in the last " << kPendingLimit
                  << " bytes received: older pending text is dropped." << std::endl;
    for (const FramedLog& log : logs) closeLog(log);
}

void LogAssembly::closeLog(const FramedLog& log) {
    if (!log.valid()) {
        ++badChecksums;
        char expected[16];
        std::snprintf(expected, sizeof(expected), "%08x", log.computed);
        std::cout << log.name() << " log dropped: "
                  << (log.checksumArrived
                          ? "checksum " + log.received + " does not match " + expected
                          : std::string("its checksum is cut short"))
                  << " (" << receiver::printable(log.text.substr(0, 60)) << "...)" << std::endl;
        return;
    }
    ++goodLogs;
    useLog(static_cast<int>(log.kind), log.text);
}

double LogAssembly::gpsUtcLeapSeconds() {
    const char* text = std::getenv("CORVANA_GPS_UTC_SECONDS");
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        double value = std::strtod(text, &end);
        if (*end == '\0' && std::isfinite(value)) return value;
    }
    return 18.0;
}

void LogAssembly::useLog(int which, const std::string& log) {
    if (which == 0) {
        std::cout << "BESTPOS_LOG" << std::endl;
        auto BESTPOS_LOG = std::make_unique<ReceiverLog>("#BESTPOSA", log, elevCutOff);
        const bestpos& b = BESTPOS_LOG->bestposData;
        // A position log that could not be read wholly leaves the position
        // as it was: rows never carry a position that was not received.
        const char* problem =
            b.datatime.empty() ? nullptr : receiver::positionProblem(b.position, b.positionErr);
        if (problem != nullptr) {
            refuse("Position", problem);
        } else if (!b.datatime.empty()) {
            struct timespec arrival = {};
            clock_gettime(CLOCK_REALTIME, &arrival);
            double gpsUnix = 315964800.0 + 604800.0 * BESTPOS_LOG->gpsWeek() +
                             BESTPOS_LOG->gpsSeconds() - gpsUtcLeapSeconds();
            lastClockOffset = static_cast<double>(arrival.tv_sec) +
                              static_cast<double>(arrival.tv_nsec) * 1e-9 - gpsUnix;
            latitude = b.position[0];
            longitude = b.position[1];
            height = b.position[2];
            latitudeErr = b.positionErr[0];
            longitudeErr = b.positionErr[1];
            heightErr = b.positionErr[2];
            positionKnown = true;
        } else {
            std::cout << "Position log not readable: the position is left unchanged." << std::endl;
        }
    } else if (which == 1) {
        std::cout << "SATVIS_LOG" << std::endl;
        auto SATVIS_LOG =
            std::make_unique<ReceiverLog>("#SATVISA", log, satxyz2DataBuffered, elevCutOff);
        const satvis& v = SATVIS_LOG->satvisData;
        // The delays must be those of the same minute: a satellite-positions
        // log that was lost or dropped leaves an older record buffered.
        const char* problem = v.datatime.empty() ? nullptr : satellitesProblem(v);
        if (v.datatime.empty()) {
            std::cout << "Visibility log not readable: nothing stored." << std::endl;
        } else if (problem != nullptr) {
            refuse("Visibility", problem);
        } else if (!satxyz2EpochKnown || satxyz2Week != SATVIS_LOG->gpsWeek() ||
                   satxyz2Seconds != SATVIS_LOG->gpsSeconds()) {
            std::cout << "Visibility log of week " << SATVIS_LOG->gpsWeek() << ", "
                      << SATVIS_LOG->gpsSeconds()
                      << " s has no satellite-positions log of the same time";
            if (satxyz2EpochKnown) {
                std::cout << " (the last one is of week " << satxyz2Week << ", " << satxyz2Seconds
                          << " s)";
            }
            std::cout << ": nothing stored." << std::endl;
        } else {
            printLogSatvis(v);
            storeRows(v);
        }
    } else if (which == 2) {
        std::cout << "SATXYZ2A" << std::endl;
        auto SATXYZ2_LOG = std::make_unique<ReceiverLog>("#SATXYZ2A", log, elevCutOff);
        satxyz2DataBuffered = SATXYZ2_LOG->satxyz2Data;
        satxyz2EpochKnown = !satxyz2DataBuffered.datatime.empty();
        const satxyz2& x = satxyz2DataBuffered;
        if (satxyz2EpochKnown && (x.N_Sat > receiver::kMaxSatellites ||
                                  x.PRN_xyz.size() > std::size_t(receiver::kMaxSatellites))) {
            // No visibility log joins a refused one.
            refuse("Satellite-positions", "more satellites than a receiver tracks");
            satxyz2DataBuffered = satxyz2();
            satxyz2EpochKnown = false;
        }
        satxyz2Week = SATXYZ2_LOG->gpsWeek();
        satxyz2Seconds = SATXYZ2_LOG->gpsSeconds();
        printLogSatxyz2(satxyz2DataBuffered);
    }
}

const char* LogAssembly::satellitesProblem(const satvis& v) {
    if (v.N_Sat_vis > receiver::kMaxSatellites ||
        v.PRN_vis.size() > std::size_t(receiver::kMaxSatellites))
        return "more satellites than a receiver tracks";
    for (std::size_t i = 0; i < v.PRN_vis.size(); ++i) {
        const char* problem = receiver::satelliteProblem(v.PRN_vis[i], v.Elevation[i], v.TD[i]);
        if (problem != nullptr) return problem;
    }
    return nullptr;
}

void LogAssembly::refuse(const char* log, const std::string& why) {
    ++refused;
    std::cout << log << " log refused (" << why << "): nothing of it is used." << std::endl;
}

std::size_t LogAssembly::rowsOfMinutes(const std::string& firstMinute,
                                       const std::string& lastMinute) const {
    std::size_t rows = 0;
    for (auto it = rowsPerMinute.lower_bound(firstMinute);
         it != rowsPerMinute.end() && it->first <= lastMinute; ++it)
        rows += it->second;
    return rows;
}

void LogAssembly::storeRows(const satvis& satvisData) {
    if (!positionKnown) {
        std::cout << "No position log received yet: the " << satvisData.PRN_vis.size()
                  << " rows of this visibility log are not stored." << std::endl;
        return;
    }
    // The time goes into every row as it is: a text that is not a date-time
    // of the column's form (an absurd week) makes no row at all.
    if (satvisData.datatime.size() != 19 || !isDateTimeText(satvisData.datatime)) {
        std::cout << "Visibility log time \"" << satvisData.datatime
                  << "\" is not a date-time: its " << satvisData.PRN_vis.size()
                  << " rows are not stored." << std::endl;
        return;
    }
    // However many logs a minute brings, its rows stay bounded.
    // The count of each of the latest minutes is kept, so logs that take
    // turns between minutes are bounded as well; a minute older than all
    // those counted is refused rather than counted afresh.
    const std::string minute = satvisData.datatime.substr(0, 16);
    if (rowsPerMinute.count(minute) == 0 && rowsPerMinute.size() >= kMinutesCounted) {
        if (minute < rowsPerMinute.begin()->first) {
            refuse("Visibility", "the minute " + minute + " is older than the last " +
                                     std::to_string(kMinutesCounted) + " minutes stored");
            return;
        }
        rowsPerMinute.erase(rowsPerMinute.begin());
    }
    std::size_t& rowsInMinute = rowsPerMinute[minute];
    if (rowsInMinute + satvisData.PRN_vis.size() > receiver::kMaxRowsPerMinute) {
        refuse("Visibility",
               "the minute " + minute + " already has " + std::to_string(rowsInMinute) + " rows");
        return;
    }
    rowsInMinute += satvisData.PRN_vis.size();
    std::cout << "\n\nProcessing Data ... \n\n";
    // Rows kept earlier go first; while any is still kept, new rows queue
    // behind it. A server that failed a moment ago in this pass is not
    // waited for twice.
    if (!spool.empty() && !failedNow) retryKept();
    bool away = !spool.empty();
    std::size_t keptNow = 0;
    receivedRows += satvisData.PRN_vis.size();
    for (std::size_t i = 0; i < satvisData.PRN_vis.size(); ++i) {
        char queryString[500];
        std::snprintf(queryString, sizeof(queryString), "%s",
                      format_troposphericDelayQuery(satvisData.datatime.c_str(), latitude,
                                                    longitude, height, latitudeErr, longitudeErr,
                                                    heightErr, satvisData.PRN_vis[i],
                                                    satvisData.Elevation[i], satvisData.TD[i]));
        // A statement cut by its buffer (a value near 1e300 prints hundreds
        // of digits) would be sent or kept as another statement.
        if (!wholeStatement(queryString)) {
            std::cout << "Statement longer than its " << sizeof(queryString)
                      << "-character buffer: the row of satellite " << satvisData.PRN_vis[i]
                      << " is not stored." << std::endl;
            continue;
        }
        if (!away) {
            if (attempt(queryString) != StoreOutcome::Kept) continue;
            away = true;
            failedNow = true;
            draining = false;
            lastAttempt = std::chrono::steady_clock::now();
        }
        spool.push(queryString);
        ++keptNow;
    }
    if (keptNow > 0) {
        spool.sync(false);
        std::cout << "Database unavailable: " << keptNow << " rows kept for later, " << spool.size()
                  << " waiting." << std::endl;
    }
    std::cout.flush();
}

void LogAssembly::retryKept() {
    auto now = std::chrono::steady_clock::now();
    auto deadline = now + options.drainBudget;
    lastAttempt = now;
    draining = false;
    // A pass stops at the first row that fails for the server's sake: the
    // rows behind it wait with it, in order. A row refused for its own
    // sake leaves the queue (reported by attempt()), so it cannot block it.
    std::size_t stored = 0;
    while (!spool.empty()) {
        if (stored > 0 && std::chrono::steady_clock::now() >= deadline) {
            draining = true;
            break;
        }
        std::string queryString = spool.front();
        if (attempt(queryString.c_str()) == StoreOutcome::Kept) {
            failedNow = true;
            break;
        }
        spool.popFront();
        ++stored;
    }
    spool.sync(false);
    if (stored > 0) {
        std::cout << "Kept rows sent: " << stored << ", still kept: " << spool.size() << "."
                  << std::endl;
    }
    std::cout.flush();
}

StoreOutcome LogAssembly::attempt(const char* queryString) {
    lastFailure.clear();
    StoreOutcome result = options.sink(queryString);
    if (result == StoreOutcome::Stored) {
        std::cout << "Successful query. troposphericDelay Data correctly stored.\n";
    } else if (result != StoreOutcome::AlreadyStored) {
        std::cout << "\nQuery Failed\n"
                  << "queryString : " << queryString << "\n";
        if (!lastFailure.empty()) std::cout << "Database: " << lastFailure << "\n";
        std::cout << "\n";
        if (result == StoreOutcome::Rejected)
            std::cout << "The server refuses this statement itself: the row is dropped.\n";
    }
    return result;
}
