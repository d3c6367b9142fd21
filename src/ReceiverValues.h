// What a GNSS receiver can report, and how its text is shown. The line
// carries a CRC-32 that anyone on it can compute, so a log with a correct
// checksum may still hold values no receiver makes (an elevation of 1e100,
// a thousand satellites); such a log stores nothing.
#ifndef ULMET_RECEIVERVALUES_H
#define ULMET_RECEIVERVALUES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace receiver {

// A satellite log listing more satellites than this is refused: every GPS,
// GLONASS, Galileo and BeiDou satellite in orbit above one horizon at once
// is about 60, and a receiver reports each once.
constexpr int32_t kMaxSatellites = 128;
// Rows stored for one minute of the time stamps, counted over the
// visibility logs of that minute: the receiver is set to one log a minute
// (kMaxSatellites rows at most); four such logs leave room for shorter
// intervals of the receiver and the simulator. A visibility log that would
// go beyond stores nothing.
constexpr std::size_t kMaxRowsPerMinute = 4 * kMaxSatellites;

// Bounds of the stored values. Heights in metres above the ellipsoid:
// below any land to the altitude above which receivers stop reporting.
constexpr double kLowestHeight = -1000.0;
constexpr double kHighestHeight = 18000.0;
// Error estimates (standard deviations, metres) of a position, however poor.
constexpr double kLargestPositionError = 10000.0;
// Tropospheric delay along the line of sight, metres: about 2.3 m at the
// zenith, 5 m at 30 degrees, 25 m at the horizon.
constexpr double kLargestDelay = 100.0;
// Satellite numbers as the logs give them (GLONASS slots with their offset,
// SBAS, Galileo, BeiDou, QZSS).
constexpr int32_t kLargestSatelliteNumber = 999;

// nullptr when the position and its three error estimates can come from a
// receiver (latitude within +-90, longitude within +-180, finite height
// and errors within the bounds above); otherwise what is wrong.
const char* positionProblem(const double position[3], const double positionErr[3]);

// nullptr when a satellite's number, elevation (within +-90 degrees) and
// delay (finite, 0 to kLargestDelay) can come from a receiver; otherwise
// what is wrong.
const char* satelliteProblem(int32_t prn, double elevation, double delay);

// `text` with every byte that is not printable ASCII written as \xHH
// (backslash as \\); newlines stay, and so does a carriage return just
// before one (the receiver's line end). For receiver text that goes to the
// terminal or the journal.
std::string printable(const std::string& text);

}  // namespace receiver

#endif
