// Per-minute means of a weather sensor's samples.
//
// Rule: the row of minute HH:MM holds the mean of the samples received in
// the 60 seconds before HH:MM:25 (from HH:MM-1:25 inclusive to HH:MM:25
// exclusive) and is stamped "YYYY-MM-DD HH:MM:25". It is due at second 25,
// so the retrieval, which looks the minute up at second 30, finds it; no
// sample belongs to two rows and none is left out. Each quantity is
// averaged over the samples that carry it; a quantity without samples
// gives no row, a window without samples gives nothing.
#ifndef ULMET_WEATHERMINUTE_H
#define ULMET_WEATHERMINUTE_H

#include <ctime>
#include <string>
#include <vector>

#include "NmeaWeather.h"

struct WeatherRow {
    int table;  // format_query's index: 0 pressure, 1 temperature, 2 humidity
    double value;
    std::string datatime;  // "YYYY-MM-DD HH:MM:25", local calendar
    int samples;
};

class MinuteAverager {
  public:
    static constexpr int kStoreSecond = 25;

    // Adds a sample received at `now`. Call due(now) first: a window that
    // ended before `now` and was not collected is discarded here.
    void add(std::time_t now, const WeatherSample& sample);
    // The rows of the window that ended at or before `now`, once; empty
    // otherwise.
    std::vector<WeatherRow> due(std::time_t now);

  private:
    std::time_t end_ = 0;  // end of the open window (0: none open)
    double sum_[3] = {0.0, 0.0, 0.0};
    int count_[3] = {0, 0, 0};
};

// The end of the window that holds `t`: the next HH:MM:25 after it.
std::time_t windowEnd(std::time_t t);

#endif
