// Helpers shared by both programs: splitting texts into fields, GPS time
// as a date-time text, the day of the year, the record printers and the
// INSERT statement builders.
#ifndef ULMET_GNSSFUNCTIONS_H
#define ULMET_GNSSFUNCTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataLogStructures.h"

// Pieces of `line` between any of the characters of `seps`; empty pieces
// are dropped.
std::vector<std::string> splitData(const char* seps, std::string line);

// The checksum that closes every receiver log: the CRC-32 (reflected
// polynomial 0xEDB88320, register preset to all ones, result inverted) of
// the text between the "#" and the "*" of the log.
uint32_t logChecksum(const char* text, std::size_t size);
uint32_t logChecksum(const std::string& text);

// GPS week and seconds (epoch 1980-01-06, no leap seconds) read on the
// UTC calendar as "%Y-%m-%d %H:%M:%S"; fractions of a second dropped.
std::string GpsTime2DateTime(int week, double timeOfWeek);

// Zero-based day of the year + hours / 24 + minutes / 1440 of a
// "%Y-%m-%d %H:%M:%S" text; the seconds do not count. A text that does not
// match is read into a zeroed broken-down time.
double DateTime2Doy(std::string datetime);

// True for "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" with a real date
// (years 1000 to 9999) and time of day. The only caller text that the
// statement builders and look-ups put into SQL; they refuse any other.
bool isDateTimeText(const std::string& text);
// isDateTimeText, and otherwise prints that `function` refused the text
// (its first 40 characters shown).
bool acceptDateTime(const char* function, const std::string& text);

// The refusal of a statement builder, in its static buffer.
extern const char kQueryError[];  // "ERROR CREATING QUERY!"
// True, with kQueryError in `buffer` and the message printed, when
// acceptDateTime refuses `datatime` (a null one included).
bool refuseDateTime(const char* function, const char* datatime, char* buffer, std::size_t size);

// INSERT statements in static buffers, overwritten by the next call. A
// datatime that isDateTimeText refuses gives kQueryError and a message.
char* format_GpsQuery(const char* datatime, double latitude, double longitude, double height,
                      double latitudeErr, double longitudeErr, double heightErr, double elevation);
char* format_troposphericDelayQuery(const char* datatime, double latitude, double longitude,
                                    double height, double latitudeErr, double longitudeErr,
                                    double heightErr, int PRN, double elevation, double td);

void printLogSatxyz2(satxyz2 satxyz2Data);
void printLogSatvis(satvis satvisData);
void printIPWV(double IPWV, double ZWD, double ZHD, double ZTD, double K, double Pressure,
               double Temperature, double RH);

// Stores one IPWV value in table ipwv and prints the outcome; a datatime
// that isDateTimeText refuses is reported and nothing is stored.
void insertIpwvDB(double IPWV, std::string datatime);

#endif
