#include "weather/WeatherMinute.h"

std::time_t windowEnd(std::time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    std::time_t end = t - local.tm_sec + MinuteAverager::kStoreSecond;
    if (local.tm_sec >= MinuteAverager::kStoreSecond) end += 60;
    return end;
}

void MinuteAverager::add(std::time_t now, const WeatherSample& sample) {
    if (end_ != 0 && now >= end_) due(end_);  // an uncollected window is discarded
    if (end_ == 0) end_ = windowEnd(now);
    if (sample.hasPressure) stationSeen_ = true;
    // MDA's pressure goes to the pressure (0), to its own sum (3) or nowhere.
    int mdaSlot = -1;
    if (sample.hasUnnamedPressure && mda_ == MdaPressure::Station) mdaSlot = 0;
    if (sample.hasUnnamedPressure && mda_ == MdaPressure::Auto && !stationSeen_) mdaSlot = 3;
    const bool has[4] = {sample.hasPressure, sample.hasTemperature, sample.hasHumidity,
                         mdaSlot == 3};
    const double value[4] = {sample.pressure, sample.temperature, sample.humidity,
                             sample.unnamedPressure};
    if (mdaSlot == 0) {
        sum_[0] += sample.unnamedPressure;
        ++count_[0];
    }
    for (int i = 0; i < 4; ++i) {
        if (!has[i]) continue;
        sum_[i] += value[i];
        ++count_[i];
    }
}

std::vector<WeatherRow> MinuteAverager::due(std::time_t now) {
    std::vector<WeatherRow> rows;
    if (end_ == 0 || now < end_) return rows;
    struct tm local {};
    localtime_r(&end_, &local);
    char text[32];
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    for (int i = 0; i < 3; ++i) {
        if (count_[i] > 0) rows.push_back({i, sum_[i] / count_[i], text, count_[i]});
        // No station pressure in this window: MDA's, if it was taken.
        if (i == 0 && count_[0] == 0 && count_[3] > 0)
            rows.push_back({0, sum_[3] / count_[3], text, count_[3], true});
    }
    for (int i = 0; i < 4; ++i) {
        sum_[i] = 0.0;
        count_[i] = 0;
    }
    end_ = 0;
    return rows;
}
