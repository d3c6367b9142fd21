// How the station is: the figures an operator (ulmet-status), a monitoring
// system (the metrics files) or a web page needs, collected from what the
// station already has: the database, the acquisition daemon's spool and
// state files, and the units' state where systemd runs. Each figure is
// judged on a line of its own: ok, warning or critical, what is wrong and
// what to do.
#ifndef ULMET_STATIONHEALTH_H
#define ULMET_STATIONHEALTH_H

#include <map>
#include <string>
#include <vector>

namespace health {

// Also the exit status that monitoring tools understand.
enum class Level { Ok = 0, Warning = 1, Critical = 2 };
const char* levelName(Level level);  // "OK", "WARNING", "CRITICAL"

// Where the figures come from.
struct Sources {
    std::string stateDir = "/var/lib/ulmet";  // the daemon's working directory
    std::string spoolName = "corvana-spool.sql";
    std::string daemonMetrics = "corvana.prom";  // the daemon's state, in stateDir
    bool units = true;                           // ask systemd about the units if it runs
    double now = 0;                              // the time of the figures; 0: the clock's
};

// Every figure; NaN or -1 when it could not be had.
struct Figures {
    double now = 0;
    // The acquisition daemon's own account (its state file).
    bool daemonState = false;        // the state file was there and readable
    double daemonStateWritten = -1;  // when it was written (Unix time)
    bool daemonRunning = false;      // the file says the daemon was running
    double lastValidLog = -1;        // arrival of the last valid log (Unix time)
    double reinitialisations = 0;    // receiver set up again because silent
    double droppedLogs = 0;          // logs dropped for a checksum
    double clockOffset = 0;          // machine clock minus receiver time, s
    bool clockKnown = false;
    // Rows the receiver's logs gave for the minutes from rowsReceivedFirst
    // to rowsReceivedLast (Unix times; -1 when the state file has none).
    double rowsReceivedLastHour = -1;
    double rowsReceivedFirst = -1, rowsReceivedLast = -1;
    double rowsLost = 0;  // rows the spool file could not take
    // The spool.
    long spoolRows = 0;
    double spoolOldest = -1;           // the oldest queued row's minute (Unix time)
    long spoolRowsReceivedWindow = 0;  // queued rows of the receiver's minutes
    long rejectedLines = 0;
    double freeBytes = -1, totalBytes = -1;  // of the spool's filesystem
    // The database.
    bool databaseAnswers = false;
    std::string databaseError;
    std::string hourFrom, hourTo;  // the last hour's whole minutes, "YYYY-MM-DD HH:MM:SS"
    // The station started storing with its first row: only the minutes of
    // the last hour from that one on are judged (judgedFrom to hourTo).
    double firstRowTime = -1;  // Unix time; -1: no row stored yet
    std::string judgedFrom;
    long minutesJudged = 0;
    long rowsStoredLastHour = -1;
    long minutesWithRowsLastHour = -1;
    long rowsStoredReceiverWindow = -1;  // stored rows of the receiver's minutes
    double lastIpwv = -1, lastIpwvSigma = -1, lastIpwvTime = -1;
    bool lastIpwvSigmaKnown = false;
    long minutesWithoutIpwvLastHour = -1;   // of the minutes judged
    std::vector<std::string> recomputable;  // minutes judged with inputs and no IPWV
    // systemd's view, "" where it does not run.
    std::string daemonUnit, retrievalTimer;
};

struct Line {
    std::string name;  // short key: "receiver", "spool", ...
    Level level;
    std::string text;    // what is, and what is wrong
    std::string advice;  // what to do; empty when ok
};

// The minutes of the last hour: the 60 whole minutes that end two minutes
// before `now` (the retrieval of the minute before has run by then).
void lastHour(double now, std::string* from, std::string* to);

// The parts; collect() runs them all.
void collectDaemonState(const Sources& sources, Figures* figures);
void collectSpool(const Sources& sources, Figures* figures);
void collectDatabase(Figures* figures);
void collectUnits(Figures* figures);
Figures collect(const Sources& sources);

std::vector<Line> assess(const Figures& figures);
Level worst(const std::vector<Line>& lines);

// One screen for the operator; a JSON document of the figures and lines.
std::string renderText(const std::vector<Line>& lines);
std::string renderJson(const Figures& figures, const std::vector<Line>& lines);

// "name value" lines of a metrics text (comments skipped).
std::map<std::string, double> readMetrics(const std::string& text);

}  // namespace health

#endif
