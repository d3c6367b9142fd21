#include "ReceiverValues.h"

#include <cmath>
#include <cstdio>

namespace receiver {

namespace {
bool within(double value, double lowest, double highest) {
    return std::isfinite(value) && value >= lowest && value <= highest;
}
}  // namespace

const char* positionProblem(const double position[3], const double positionErr[3]) {
    if (!within(position[0], -90.0, 90.0)) return "latitude outside -90 to 90 degrees";
    if (!within(position[1], -180.0, 180.0)) return "longitude outside -180 to 180 degrees";
    if (!within(position[2], kLowestHeight, kHighestHeight))
        return "height outside -1000 to 18000 m";
    for (int i = 0; i < 3; ++i)
        if (!within(positionErr[i], 0.0, kLargestPositionError))
            return "error estimate outside 0 to 10000 m";
    return nullptr;
}

const char* satelliteProblem(int32_t prn, double elevation, double delay) {
    if (prn < 1 || prn > kLargestSatelliteNumber) return "satellite number outside 1 to 999";
    if (!within(elevation, -90.0, 90.0)) return "elevation outside -90 to 90 degrees";
    if (!within(delay, 0.0, kLargestDelay)) return "delay outside 0 to 100 m";
    return nullptr;
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // The receiver ends its lines with "\r\n": kept as it is.
        const bool lineEnd = c == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n' || lineEnd || (c >= 0x20 && c < 0x7f)) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

}  // namespace receiver
