#include "health/HealthFigures.h"

#include <cstdio>
#include <ctime>

namespace health {

const char* levelName(Level level) {
    switch (level) {
        case Level::Ok:
            return "OK";
        case Level::Warning:
            return "WARNING";
        case Level::Critical:
            return "CRITICAL";
    }
    return "?";
}

Level worst(const std::vector<Line>& lines) {
    Level level = Level::Ok;
    for (const Line& line : lines)
        if (static_cast<int>(line.level) > static_cast<int>(level)) level = line.level;
    return level;
}

std::string dateTimeText(double when) {
    time_t t = static_cast<time_t>(when);
    struct tm utc = {};
    gmtime_r(&t, &utc);
    char text[32];
    (void)std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

std::string number(double value, const char* format) {
    char text[64];
    (void)std::snprintf(text, sizeof(text), format, value);
    return text;
}

}  // namespace health
