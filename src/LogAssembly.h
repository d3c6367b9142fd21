// Log assembly and row storage of the acquisition daemon: cuts complete
// receiver logs out of the serial byte stream, parses them and stores one
// troposphericDelay row per kept satellite of every visibility log.
//
// Every "*" of the stream closes the pending text as one log, in stream
// order; the text after the last "*" stays pending (bounded). A row whose
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
#include <string>

#include "RowSpool.h"
#include "dataLogStructures.h"

// The outcome of one attempt to store a row.
enum class StoreResult {
    Stored,
    AlreadyStored,  // the table holds this row (data, prn) already
    Rejected,       // the statement itself is refused: retrying cannot help
    Kept,           // the server cannot take it now: the row is kept for later
};

// Where rows go. The default runs each statement on a Database connection
// of its own; tests and fuzzing plug in other sinks.
using RowSink = std::function<StoreResult(const char* queryString)>;

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

    // The pending text is kept to this many of its newest bytes.
    static constexpr std::size_t kPendingLimit = 64 * 1024;

    // One row on a connection of its own ("localhost", UlmetDB).
    static StoreResult storeInDatabase(const char* queryString);

    const std::string& pendingText() const { return input; }

  private:
    double elevCutOff;
    LogAssemblyOptions options;

    std::string input;  // what has arrived since the last "*"
    double latitude, longitude, height, latitudeErr, longitudeErr, heightErr;
    bool positionKnown;  // a position log has been parsed
    satxyz2 satxyz2DataBuffered;

    RowSpool spool;
    bool started;
    bool draining;   // the last retry was cut by its budget, not by a failure
    bool failedNow;  // a kept row failed again in the current pass
    std::chrono::steady_clock::time_point lastAttempt;
    bool pendingCut;  // the pending text has been cut since the last "*"

    void appendPending(const std::string& piece);
    void closeLog();
    void storeRows(const satvis& satvisData);
    void retryKept();
    StoreResult attempt(const char* queryString);
};

#endif
