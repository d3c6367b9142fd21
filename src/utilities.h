// Helpers of the retrieval program: the weather-reading and position
// look-ups, the weather-table INSERT builder, the weather-station log,
// clock synchronisation from a receiver log, the start-up countdown and
// the local date-time texts.
//
// splitData and GpsTime2DateTime come from gnssFunctions, the one
// definition both programs share; this header makes them available too.
#ifndef ULMET_UTILITIES_H
#define ULMET_UTILITIES_H

#include <ctime>
#include <string>
#include <vector>

#include "gnssFunctions.h"

// A value that could not be read (no row, no server, NULL or not a number).
constexpr double kMissingValue = 666666.0;

// The number in a column text of a fetched row, or kMissingValue when the
// column is NULL or its whole text is not a finite decimal number.
double columnValue(const char* text);

// The first reading stored within the minute of `datatime`
// ("YYYY-MM-DD HH:MM[:SS]", its minute matched as a prefix). dataType is
// "P" (pressure, hPa), "T" (temperature, degrees Celsius) or "RH"
// (relative humidity, percent). kMissingValue when there is none; a
// refused date-time or code (nothing is run) or a failed statement also
// prints an error line, the latter with the database's message.
double atmosphericDataDB(std::string datatime, std::string dataType);

// Latitude, longitude, height and elevation of the first `gps` row of the
// minute of `datatime`; kMissingValue for each value that is absent, four
// times for a refused date-time (isDateTimeText).
std::vector<double> gpsDataDB(std::string datatime);

// INSERT of one weather reading: n = 0 pressure, 1 temperature,
// 2 humidity, 3 radiance, 4 raingauge. Returns a static buffer that the
// next call overwrites; "ERROR CREATING QUERY!" for any other n or a
// datatime that isDateTimeText refuses.
char* format_query(int n, float value, const char* datatime);

class Database;
// Prints the database's message of the last failed operation of DB and,
// when the failure shows tables older than the programs (a missing
// column), that the database needs ulmet-install-db.
void reportDatabaseError(const Database& DB);
// Whether the server's error number and message mean a missing column
// (not a bad value such as a bare nan).
bool meansNotUpgraded(unsigned int errorNumber, const std::string& message);

// Appends dataLog and a newline to ARDUINO_LOG.TXT in the working
// directory; a file that cannot be opened is silently skipped.
void arduinoLogFile(std::string dataLog);

// Sets the machine's clock to the GPS time in the header of a receiver log
// (fields 5 and 6: week and seconds) through `sudo -S date`. True when the
// command ended with status 0; false without running anything when the
// header is too short or the week or seconds are not numbers.
bool parseGpsLogTime(std::string timeLog);

// Seconds from `now` until second 0 of the minute after next: 120 minus
// the seconds field (120 at second 0, 61 at second 59, 60 at a leap second).
int countDownSeconds(const struct tm& now);
// Counts down on the console, one line a second, until second 0 of the
// minute after next.
void countDown();

// The current local date-time "%Y-%m-%d %H:%M:%S". print_time returns its
// own static buffer, overwritten by the next call.
char* print_time();
std::string printDateTime();
// The local date-time one minute before now.
std::string dateTimeToCheck();

// Appends errMsg and a newline to the file logFileName + ".txt";
// ".txt" is appended to the caller's buffer, which must have room for it.
// Ends the program with status 1 when the file cannot be opened.
void logErr(const char* errMsg, char* logFileName);

#endif
