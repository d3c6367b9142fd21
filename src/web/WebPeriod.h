// The period a web request asks for: a named one ending at the current
// minute (6h, day, week, month, year) or an explicit from/to. Requests
// come from outside, so every form is checked here before any statement
// is built from it.
#ifndef ULMET_WEBPERIOD_H
#define ULMET_WEBPERIOD_H

#include <ctime>
#include <string>

struct WebPeriod {
    time_t first = 0;  // first whole minute (UTC)
    time_t last = 0;   // last whole minute, included
    long minutes() const { return static_cast<long>((last - first) / 60) + 1; }
};

// The longest period a request may ask for: a leap year of minutes.
constexpr long kMaxPeriodMinutes = 366L * 24 * 60;

// Reads a period from the parameter texts (empty: not given). `name` is
// one of 6h, day, week, month (30 days), year (365 days), ending with the
// minute of `now`; or `from` and `to` are minutes as ulmet-export reads
// them (both included). "" and `out` set, or a message saying what is
// wrong: an unknown name, a name together with from/to, one of from/to
// alone, a time that cannot be read, from after to, or a period longer
// than kMaxPeriodMinutes.
std::string parseWebPeriod(const std::string& name, const std::string& from, const std::string& to,
                           time_t now, WebPeriod* out);

#endif
