#include "Metrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <random>

namespace metrics {

void Text::add(const std::string& name, const char* type, const char* help, double value) {
    char number[64];
    if (std::isnan(value))
        (void)std::snprintf(number, sizeof(number), "NaN");
    else
        (void)std::snprintf(number, sizeof(number), "%.17g", value);
    text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
             number + "\n";
}

std::string directory(const std::string& fallback) {
    const char* named = std::getenv("ULMET_METRICS_DIR");
    return named != nullptr && *named != '\0' ? named : fallback;
}

bool writeFile(const std::string& path, const std::string& text, std::string* error) {
    // A fresh file of a name nobody can know in advance, created by this
    // call alone: the directory may be writable by another account, so a
    // FIFO, a symbolic link or any file left at a predictable name must
    // neither block the writer nor be followed or overwritten.
    std::random_device random;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        char suffix[32];
        (void)std::snprintf(suffix, sizeof(suffix), ".tmp-%08x%04x", random(), attempt);
        temporary = path + suffix;
        fd = ::open(temporary.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    bool ok = true;
    for (std::size_t done = 0; ok && done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        *error = std::strerror(errno);
        ::unlink(temporary.c_str());
    }
    return ok;
}

std::string daemonText(const DaemonFigures& f) {
    Text t;
    t.add("ulmet_corvana_state_timestamp_seconds", "gauge", "When this file was written.", f.now);
    t.add("ulmet_corvana_running", "gauge",
          "1 while the acquisition daemon runs, 0 after it ended.", f.running ? 1 : 0);
    t.add("ulmet_corvana_last_valid_log_timestamp_seconds", "gauge",
          "Arrival of the last receiver log whose checksum matched (NaN before the first).",
          f.lastValidLog >= 0 ? f.lastValidLog : std::nan(""));
    t.add("ulmet_corvana_receiver_reinitialisations_total", "counter",
          "Times the silent receiver was sent its set-up again.", f.reinitialisations);
    t.add("ulmet_corvana_logs_valid_total", "counter", "Receiver logs whose checksum matched.",
          f.validLogs);
    t.add("ulmet_corvana_logs_dropped_total", "counter",
          "Receiver logs dropped for a wrong or cut checksum.", f.droppedLogs);
    t.add("ulmet_corvana_rows_received_total", "counter",
          "Rows that the receiver's visibility logs gave.", f.rowsReceived);
    t.add("ulmet_corvana_rows_received_last_hour", "gauge",
          "Rows that the receiver's visibility logs gave for the 60 minutes that end with the "
          "current one (since the daemon started).",
          f.rowsReceivedLastHour);
    t.add("ulmet_corvana_rows_received_first_minute_timestamp_seconds", "gauge",
          "The first minute of those 60.",
          f.rowsReceivedFirstMinute >= 0 ? f.rowsReceivedFirstMinute : std::nan(""));
    t.add("ulmet_corvana_rows_received_last_minute_timestamp_seconds", "gauge",
          "The last minute of those 60.",
          f.rowsReceivedLastMinute >= 0 ? f.rowsReceivedLastMinute : std::nan(""));
    t.add("ulmet_corvana_spool_rows", "gauge", "Rows waiting for the database.", f.spoolRows);
    t.add("ulmet_corvana_spool_rows_in_memory_only", "gauge",
          "Waiting rows that the spool file could not take (lost if the daemon ends now).",
          f.spoolInMemoryOnly);
    t.add("ulmet_corvana_spool_oldest_row_timestamp_seconds", "gauge",
          "Minute of the oldest waiting row (NaN when none waits).",
          f.spoolOldest >= 0 ? f.spoolOldest : std::nan(""));
    t.add("ulmet_corvana_rows_lost_total", "counter",
          "Rows lost because the spool file could not take them.", f.rowsLost);
    t.add("ulmet_corvana_spool_rejected_lines", "gauge",
          "Lines of the spool file moved to its reject file (not the daemon's rows).",
          f.rejectedLines);
    t.add("ulmet_corvana_clock_offset_seconds", "gauge",
          "Machine clock minus the receiver's time (GPS-UTC leap seconds accounted for) at the "
          "last position log.",
          f.clockKnown ? f.clockOffset : std::nan(""));
    t.add("ulmet_corvana_spool_filesystem_free_bytes", "gauge",
          "Free bytes of the spool's filesystem.", f.freeBytes >= 0 ? f.freeBytes : std::nan(""));
    t.add("ulmet_corvana_spool_filesystem_size_bytes", "gauge", "Size of the spool's filesystem.",
          f.totalBytes >= 0 ? f.totalBytes : std::nan(""));
    return t.str();
}

}  // namespace metrics
