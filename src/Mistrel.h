// The retrieval program: one IPWV retrieval for the current minute of the
// machine's clock, reported on standard output and stored in table ipwv.
#ifndef ULMET_MISTREL_H
#define ULMET_MISTREL_H

#include <string>

// The lowest elevation (degrees) of a satellite whose row a retrieval may
// use: the acquisition's cut-off, above the horizon. A minute whose rows
// are all lower (or below the horizon) gets no value.
constexpr double kRetrievalElevationCutoff = 30.0;

// The current local date-time with the seconds set to 0, as
// "YYYY-MM-DD HH:MM:00": the minute whose rows a run works on.
std::string currentDateTime();

// One run, for the current minute. 0 after a computation (stored, already
// stored, or negative / NaN and so not stored); -1 when position or weather
// data is missing or the value could not be stored.
int runMistrel();

// The retrieval of one minute ("YYYY-MM-DD HH:MM:00"), as runMistrel does it
// for the current one: 0 after a computation (stored, or not stored as
// negative / NaN), 1 when the minute's value was already stored (duplicate
// key), -1 when data is missing or the value could not be stored.
int retrieveMinute(const std::string& minute);

#endif
