#include "health/HealthAssess.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace health {

namespace {

std::string duration(double seconds) {
    char text[64];
    if (seconds < 120)
        (void)std::snprintf(text, sizeof(text), "%.0f s", seconds);
    else if (seconds < 7200)
        (void)std::snprintf(text, sizeof(text), "%.0f min", seconds / 60);
    else if (seconds < 2 * 86400)
        (void)std::snprintf(text, sizeof(text), "%.1f h", seconds / 3600);
    else
        (void)std::snprintf(text, sizeof(text), "%.1f days", seconds / 86400);
    return text;
}

}  // namespace

std::vector<Line> assess(const Figures& f) {
    std::vector<Line> lines;
    auto add = [&lines](const char* name, Level level, std::string text, std::string advice) {
        lines.push_back({name, level, std::move(text), std::move(advice)});
    };

    // Units, where systemd runs.
    if (!f.daemonUnit.empty()) {
        bool up = f.daemonUnit == "active";
        add("daemon unit", up ? Level::Ok : Level::Critical, "corvana.service is " + f.daemonUnit,
            up ? "" : "start it: systemctl start corvana; see journalctl -u corvana");
    }
    if (!f.retrievalTimer.empty()) {
        bool up = f.retrievalTimer == "active";
        add("retrieval timer", up ? Level::Ok : Level::Critical,
            "mistrel.timer is " + f.retrievalTimer,
            up ? "" : "start it: systemctl start mistrel.timer");
    }

    // The receiver, as the daemon sees it.
    if (!f.daemonState) {
        add("receiver", Level::Critical, "the acquisition daemon has left no state file",
            "is Corvana running in the state directory? see journalctl -u corvana");
    } else if (!f.daemonRunning) {
        add("receiver", Level::Critical, "the acquisition daemon has stopped",
            "start it: systemctl start corvana; see journalctl -u corvana");
    } else if (f.lastValidLog < 0) {
        add("receiver", Level::Critical, "no valid log received since the daemon started",
            "check the receiver's power, cable and port (CORVANA_PORT)");
    } else {
        double age = f.now - f.lastValidLog;
        Level level = age <= 90 ? Level::Ok : age <= 180 ? Level::Warning : Level::Critical;
        std::string text = "last valid log " + duration(age) + " ago";
        if (f.reinitialisations > 0)
            text += ", receiver set up again " + number(f.reinitialisations) + " times";
        if (level == Level::Ok && f.reinitialisations > 0) level = Level::Warning;
        add("receiver", level, text,
            level == Level::Ok ? ""
                               : "check the receiver's power and cable; it resets or has gone "
                                 "silent (journalctl -u corvana)");
    }

    // Rows of the minutes judged; what the receiver's logs gave against
    // what is stored, both for the minutes the daemon's count covers.
    if (f.databaseAnswers) {
        std::string text;
        Level level = Level::Ok;
        if (f.firstRowTime < 0) {
            text = "no rows stored yet";
            level = Level::Warning;
        } else if (f.minutesJudged == 0) {
            text = "the first rows are of " + dateTimeText(f.firstRowTime).substr(0, 16) +
                   ": no whole minute to judge yet";
        } else {
            const long missing = f.minutesJudged - f.minutesWithRowsLastHour;
            text =
                number(static_cast<double>(f.rowsStoredLastHour)) + " rows stored " +
                (f.minutesJudged == 60 ? std::string("in the last hour")
                                       : "since the first rows, of " + f.judgedFrom.substr(0, 16)) +
                ", " + number(static_cast<double>(f.minutesWithRowsLastHour)) + " of " +
                number(static_cast<double>(f.minutesJudged)) + " minutes";
            level = missing <= 2                    ? Level::Ok
                    : f.minutesWithRowsLastHour > 0 ? Level::Warning
                                                    : Level::Critical;
        }
        if (f.rowsReceivedLastHour >= 0 && f.rowsReceivedFirst >= 0 &&
            f.rowsStoredReceiverWindow >= 0) {
            const double stored = static_cast<double>(f.rowsStoredReceiverWindow);
            const double waiting = static_cast<double>(f.spoolRowsReceivedWindow);
            text += "; for the minutes " + dateTimeText(f.rowsReceivedFirst).substr(11, 5) +
                    " to " + dateTimeText(f.rowsReceivedLast).substr(11, 5) +
                    " the receiver's logs gave " + number(f.rowsReceivedLastHour) + " rows, " +
                    number(stored) + " are stored";
            if (waiting > 0) text += ", " + number(waiting) + " wait in the spool";
            if (stored + waiting + 0.5 < f.rowsReceivedLastHour && level == Level::Ok)
                level = Level::Warning;
        }
        add("rows", level, text,
            level == Level::Ok ? ""
                               : "rows are missing: see the receiver and spool lines, and "
                                 "journalctl -u corvana");
    }

    // The spool.
    {
        std::string text = number(static_cast<double>(f.spoolRows)) + " rows wait in the spool";
        Level level = Level::Ok;
        if (f.spoolRows > 0 && f.spoolOldest > 0) {
            double age = f.now - f.spoolOldest;
            text += ", the oldest of " + duration(age) + " ago";
            level = age > 3600 ? Level::Critical : Level::Warning;
        }
        if (f.rowsLost > 0) {
            text += "; " + number(f.rowsLost) + " rows lost (the spool file could not take them)";
            level = Level::Critical;
        }
        add("spool", level, text,
            level == Level::Ok ? ""
                               : "the database does not take rows: see the database line and "
                                 "journalctl -u corvana");
    }
    add("rejected", f.rejectedLines > 0 ? Level::Warning : Level::Ok,
        number(static_cast<double>(f.rejectedLines)) +
            " lines moved to the reject file corvana-spool.sql.rejected",
        f.rejectedLines > 0 ? "read the file: they are not the daemon's rows; remove it when done"
                            : "");
    if (f.daemonState)
        add("checksums", f.droppedLogs > 0 ? Level::Warning : Level::Ok,
            number(f.droppedLogs) + " logs dropped for a wrong or cut checksum since the start",
            f.droppedLogs > 0 ? "a noisy line: check the cable and its connectors" : "");

    // The product.
    if (f.databaseAnswers) {
        if (f.lastIpwvTime < 0 && f.minutesJudged == 0) {
            add("ipwv", Level::Ok, "no IPWV stored yet, and no minute due", "");
        } else if (f.lastIpwvTime < 0) {
            add("ipwv", Level::Critical, "no IPWV stored yet",
                "is mistrel.timer active? see journalctl -u mistrel");
        } else {
            double age = f.now - f.lastIpwvTime;
            Level level = age <= 180 ? Level::Ok : age <= 600 ? Level::Warning : Level::Critical;
            std::string text = "last IPWV " + number(f.lastIpwv, "%.3f") + " cm";
            text += f.lastIpwvSigmaKnown ? " ± " + number(f.lastIpwvSigma, "%.3f") + " cm"
                                         : " (uncertainty unknown)";
            text += ", " + duration(age) + " ago";
            add("ipwv", level, text,
                level == Level::Ok ? "" : "see journalctl -u mistrel and the rows line");
        }
        long missing = f.minutesWithoutIpwvLastHour;
        Level level = missing <= 2 ? Level::Ok : missing <= 30 ? Level::Warning : Level::Critical;
        std::string advice;
        if (!f.recomputable.empty())
            advice = std::to_string(f.recomputable.size()) +
                     " of them have their inputs: ulmet-retrieve --from '" +
                     f.recomputable.front().substr(0, 16) + "' --to '" +
                     f.recomputable.back().substr(0, 16) + "'";
        else if (level != Level::Ok)
            advice = "their inputs are missing: see the rows line and the weather logger";
        if (!f.recomputable.empty() && level == Level::Ok) level = Level::Warning;
        add("ipwv minutes", level,
            std::to_string(missing) + " minutes of the last hour without IPWV" +
                (f.minutesJudged < 60
                     ? " (" + std::to_string(f.minutesJudged) + " since the first rows)"
                     : std::string()),
            advice);
    }

    add("database", f.databaseAnswers ? Level::Ok : Level::Critical,
        f.databaseAnswers ? "the database answers"
                          : "the database does not answer: " + f.databaseError,
        f.databaseAnswers ? "" : "systemctl status mariadb; rows wait in the spool meanwhile");

    if (f.daemonState && f.clockKnown) {
        double off = std::fabs(f.clockOffset);
        Level level = off <= 2 ? Level::Ok : off <= 10 ? Level::Warning : Level::Critical;
        add("clock", level,
            "machine clock " + number(f.clockOffset, "%+.1f") + " s against the receiver's time",
            level == Level::Ok ? ""
                               : "the record depends on this clock: check time synchronisation "
                                 "(timedatectl, chronyc tracking)");
    }

    if (f.freeBytes >= 0 && f.totalBytes > 0) {
        double share = f.freeBytes / f.totalBytes;
        Level level = share < 0.02 || f.freeBytes < 10e6    ? Level::Critical
                      : share < 0.10 || f.freeBytes < 100e6 ? Level::Warning
                                                            : Level::Ok;
        add("disk", level,
            number(f.freeBytes / 1e6, "%.0f") + " MB free (" + number(100 * share, "%.0f") +
                " %) where the spool lives",
            level == Level::Ok ? "" : "free space there: rows are lost once the spool cannot grow");
    }
    return lines;
}

}  // namespace health
