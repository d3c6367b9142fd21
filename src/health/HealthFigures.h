// How the station is: the figures an operator (ulmet-status), a monitoring
// system (the metrics files) or a web page needs, and the lines that judge
// them: ok, warning or critical, what is wrong and what to do. The figures
// are collected (HealthCollect.h), judged (HealthAssess.h) and shown
// (HealthRender.h) apart; this header holds what the three share.
#ifndef ULMET_HEALTHFIGURES_H
#define ULMET_HEALTHFIGURES_H

#include <string>
#include <vector>

namespace health {

// Also the exit status that monitoring tools understand.
enum class Level { Ok = 0, Warning = 1, Critical = 2 };
const char* levelName(Level level);  // "OK", "WARNING", "CRITICAL"

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

Level worst(const std::vector<Line>& lines);

// "YYYY-MM-DD HH:MM:SS" of a Unix time (UTC).
std::string dateTimeText(double when);
// `value` through a printf `format` of one double.
std::string number(double value, const char* format = "%.0f");

}  // namespace health

#endif
