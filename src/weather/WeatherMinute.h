// Per-minute means of a weather sensor's samples.
//
// Rule: the row of minute HH:MM holds the mean of the samples received in
// the 60 seconds before HH:MM:25 (from HH:MM-1:25 inclusive to HH:MM:25
// exclusive) and is stamped "YYYY-MM-DD HH:MM:25". It is due at second 25,
// so the retrieval, which looks the minute up at second 30, finds it; no
// sample belongs to two rows and none is left out. Each quantity is
// averaged over the samples that carry it; a quantity without samples
// gives no row, a window without samples gives nothing.
//
// MDA's barometric pressure (WeatherSample::unnamedPressure) enters the
// pressure as the MdaPressure choice says: Station, averaged with the
// station pressure of XDR; SeaLevel, never; Auto, only while the sensor has
// sent no station pressure of its own (XDR) since the averager began, and
// then only in a window without such a reading. A window's pressure is
// thus always a mean of one kind.
#ifndef ULMET_WEATHERMINUTE_H
#define ULMET_WEATHERMINUTE_H

#include <ctime>
#include <string>
#include <vector>

#include "weather/NmeaWeather.h"

struct WeatherRow {
    int table;  // format_query's index: 0 pressure, 1 temperature, 2 humidity
    double value;
    std::string datatime;  // "YYYY-MM-DD HH:MM:25", local calendar
    int samples;
    bool fromMda = false;  // a pressure from MDA's barometric pressure (MdaPressure::Auto)
};

class MinuteAverager {
  public:
    static constexpr int kStoreSecond = 25;

    explicit MinuteAverager(MdaPressure mda = MdaPressure::Auto) : mda_(mda) {}

    // Adds a sample received at `now`. Call due(now) first: a window that
    // ended before `now` and was not collected is discarded here.
    void add(std::time_t now, const WeatherSample& sample);
    // The rows of the window that ended at or before `now`, once; empty
    // otherwise.
    std::vector<WeatherRow> due(std::time_t now);

  private:
    MdaPressure mda_;
    bool stationSeen_ = false;  // an XDR station pressure arrived
    std::time_t end_ = 0;       // end of the open window (0: none open)
    // pressure, temperature, humidity, then MDA's pressure under Auto
    double sum_[4] = {0.0, 0.0, 0.0, 0.0};
    int count_[4] = {0, 0, 0, 0};
};

// The end of the window that holds `t`: the next HH:MM:25 after it.
std::time_t windowEnd(std::time_t t);

#endif
