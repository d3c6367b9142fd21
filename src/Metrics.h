// The station's figures for a monitoring system: texts in the Prometheus
// exposition format, written as files that node-exporter's textfile
// collector reads (a fresh temporary file renamed over the old one, so
// that a reader never sees half a file).
//
// The files go to the directory ULMET_METRICS_DIR; without it the daemon
// writes corvana.prom into its working directory (where ulmet-status looks
// for it) and the retrieval writes none.
#ifndef ULMET_METRICS_H
#define ULMET_METRICS_H

#include <string>

namespace metrics {

// Metric lines with their HELP and TYPE comments.
class Text {
  public:
    void add(const std::string& name, const char* type, const char* help, double value);
    const std::string& str() const { return text_; }

  private:
    std::string text_;
};

// ULMET_METRICS_DIR, or `fallback` when it is not set.
std::string directory(const std::string& fallback);

// Writes `text` to `path` through a new temporary file of a random name
// beside it ("<path>.tmp-" and 12 hex digits), created exclusively, never
// through a link and without waiting on a FIFO, then renamed over `path`.
// False, with errno's text in `error`, when it cannot.
bool writeFile(const std::string& path, const std::string& text, std::string* error);

// What the acquisition daemon knows of itself.
struct DaemonFigures {
    double now = 0;
    bool running = false;
    double lastValidLog = -1;  // Unix time; -1 before the first
    double reinitialisations = 0;
    double validLogs = 0, droppedLogs = 0;
    double rowsReceived = 0;
    // Rows whose minute lies in [rowsReceivedFirstMinute, rowsReceivedLastMinute]
    // (Unix times of whole minutes; -1: not known).
    double rowsReceivedLastHour = 0;
    double rowsReceivedFirstMinute = -1, rowsReceivedLastMinute = -1;
    double spoolRows = 0, spoolInMemoryOnly = 0, spoolOldest = -1;
    double rowsLost = 0;
    double rejectedLines = 0;  // in the spool's reject file
    double clockOffset = 0;
    bool clockKnown = false;
    double freeBytes = -1, totalBytes = -1;  // of the working directory's filesystem
};
std::string daemonText(const DaemonFigures& figures);

}  // namespace metrics

#endif
