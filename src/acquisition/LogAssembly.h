// Log assembly and row storage of the acquisition daemon: takes the logs
// that the framer (LogFramer.h) cuts out of the serial byte stream, parses
// them and stores one troposphericDelay row per kept satellite of every
// visibility log.
//
// A log is used only once the eight hex digits of its checksum have
// arrived and match; one whose checksum does not match or is cut short is
// dropped and counted. A visibility log joins only the satellite-positions
// log of its own epoch. A row whose
// INSERT fails for a reason that is not the statement's own (server away,
// timed out, locked, read-only, table missing, ...) is kept, in order, in a
// spool file of the working directory and stored later, oldest first; a
// row whose statement the server condemns is reported and dropped, and a
// row already stored (duplicate key) counts as stored.
#ifndef ULMET_LOGASSEMBLY_H
#define ULMET_LOGASSEMBLY_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "Database.h"
#include "RowSpool.h"
#include "acquisition/LogFramer.h"
#include "dataLogStructures.h"

// Where rows go. The default runs each statement on a Database connection
// of its own; tests and fuzzing plug in other sinks.
using RowSink = std::function<StoreOutcome(const char* queryString)>;

struct LogAssemblyOptions {
    RowSink sink;                                 // empty: storeInDatabase
    std::string spoolPath = "corvana-spool.sql";  // empty: kept rows in memory only
    std::size_t spoolLimit = 100000;
    // Kept rows are tried again before new rows are stored, and at the
    // latest this long after the last attempt.
    std::chrono::steady_clock::duration retryInterval = std::chrono::seconds(60);
    // One pass spends at most this long on kept rows, so that the serial
    // line is read again in time; the rest follows in the next passes.
    std::chrono::steady_clock::duration drainBudget = std::chrono::milliseconds(500);
};

class LogAssembly {
  public:
    explicit LogAssembly(double elevCutOff);
    LogAssembly(double elevCutOff, LogAssemblyOptions options);
    ~LogAssembly();

    LogAssembly(const LogAssembly&) = delete;
    LogAssembly& operator=(const LogAssembly&) = delete;

    // Throws std::runtime_error when the spool file may not be trusted
    // (RowSpool::check); the daemon calls it before setting the receiver up.
    void checkSpool() const { spool.check(); }
    // Start-up: rows kept from an earlier run (the database was away) are
    // stored first. The first pass does it if the caller did not. Throws
    // like checkSpool().
    void start();
    // One pass over the bytes of one read of the acquisition loop.
    void pass(const std::string& tmp_input);
    // Rows still waiting for the database.
    std::size_t keptRows() const;
    // The end of a run: the spool file is made to hold exactly the kept
    // rows. Returns how many it holds; `lost` receives how many it could
    // not take (they end with the process).
    std::size_t finishSpool(std::size_t* lost);
    const RowSpool& keptRowSpool() const { return spool; }
    // Logs dropped because their checksum did not match or was cut short.
    std::size_t droppedLogs() const { return badChecksums; }
    // Logs with a correct checksum refused for values no receiver reports,
    // too many satellites, or a minute that already has its rows.
    std::size_t refusedLogs() const { return refused; }
    // Rows that the visibility logs gave (stored, kept or refused).
    std::size_t rowsReceived() const { return receivedRows; }
    // Rows taken for storing whose minute ("YYYY-MM-DD HH:MM") lies in
    // [firstMinute, lastMinute]; only the latest 64 minutes are known.
    std::size_t rowsOfMinutes(const std::string& firstMinute, const std::string& lastMinute) const;
    // Logs of the three kinds whose checksum matched: the receiver is heard.
    std::size_t validLogs() const { return goodLogs; }
    // The machine's clock against the receiver's: arrival time of the last
    // position log minus its GPS time turned into UTC (gpsUtcLeapSeconds
    // subtracted), in seconds; NaN before the first one.
    double clockOffset() const { return lastClockOffset; }
    // GPS time minus UTC: 18 s since 2017, or CORVANA_GPS_UTC_SECONDS.
    static double gpsUtcLeapSeconds();

    // The pending text is kept to this many of its newest bytes.
    static constexpr std::size_t kPendingLimit = LogFramer::kPendingLimit;

    // One row on a connection of its own ("localhost", UlmetDB).
    static StoreOutcome storeInDatabase(const char* queryString);

    const std::string& pendingText() const { return framer.pending(); }

  private:
    double elevCutOff;
    LogAssemblyOptions options;

    LogFramer framer;
    double latitude, longitude, height, latitudeErr, longitudeErr, heightErr;
    bool positionKnown;  // a position log has been parsed
    satxyz2 satxyz2DataBuffered;
    bool satxyz2EpochKnown;  // the buffered record came from a readable log
    int32_t satxyz2Week;     // GPS week and seconds of its header
    double satxyz2Seconds;
    std::size_t badChecksums;
    std::size_t refused;
    // Rows stored (or kept) per "YYYY-MM-DD HH:MM" of the latest minutes.
    std::map<std::string, std::size_t> rowsPerMinute;
    static constexpr std::size_t kMinutesCounted = 64;
    std::size_t goodLogs;
    std::size_t receivedRows;
    double lastClockOffset;

    RowSpool spool;
    bool started;
    bool draining;   // the last retry was cut by its budget, not by a failure
    bool failedNow;  // a kept row failed again in the current pass
    std::chrono::steady_clock::time_point lastAttempt;

    void closeLog(const FramedLog& log);
    void useLog(int which, const std::string& log);
    void storeRows(const satvis& satvisData);
    static const char* satellitesProblem(const satvis& v);
    void refuse(const char* log, const std::string& why);
    void retryKept();
    StoreOutcome attempt(const char* queryString);
};

#endif
