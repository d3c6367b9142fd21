// Weather readings from files: RINEX meteorological files (2.11 and 3.x,
// observation types PR, TD, HR), the weather-station log ARDUINO_LOG.TXT
// as ulmet-weather --station-log writes it ("YYYY-MM-DD HH:MM:SS,P,T,RH",
// ',' ';' or tab between the fields, an empty field for a missing value)
// and CSV with a header naming the columns time, pressure_hPa,
// temperature_C and humidity_pct (any order, other columns ignored; time
// "YYYY-MM-DD HH:MM:SS", a 'T' instead of the blank and a final 'Z'
// accepted). Every time is stored as written (RINEX: the file's GPS time).
//
// A line that does not parse is refused with its line number; a value
// outside the bounds of NmeaWeather.h is refused alone, the other values
// of its line or record kept; the rest of the file is still read. Lines
// are read up to kLongestLine bytes (a longer one is refused, its rest
// skipped unread into memory); a RINEX header announcing more than
// kMostRinexTypes observation types is refused whole. Time and memory grow
// linearly with the file's size.
#ifndef ULMET_WEATHERIMPORT_H
#define ULMET_WEATHERIMPORT_H

#include <istream>
#include <string>
#include <vector>

#include "weather/NmeaWeather.h"

enum class ImportFormat { Auto, Rinex, StationLog, Csv };

struct ImportReading {
    int line = 0;
    std::string datatime;  // "YYYY-MM-DD HH:MM:SS"
    WeatherSample sample;
};

struct ImportProblem {
    int line = 0;
    std::string what;
};

constexpr std::size_t kLongestLine = 4096;
constexpr int kMostRinexTypes = 30;
// Problems kept with their text in each list below; the counts go on.
constexpr std::size_t kMostReported = 100;

struct ParsedWeatherFile {
    ImportFormat format = ImportFormat::Auto;  // the one used
    std::vector<ImportReading> readings;
    std::vector<ImportProblem> refused;        // lines refused, the first kMostReported
    std::vector<ImportProblem> refusedValues;  // values refused, the first kMostReported
    long linesRefused = 0;
    long valuesRefused = 0;
    std::string error;  // a file that cannot be read at all (bad header)
};

ParsedWeatherFile parseWeatherFile(std::istream& in, ImportFormat format);
const char* importFormatName(ImportFormat format);

struct ImportSummary {
    long stored = 0;   // values stored
    long present = 0;  // values whose table already held a row of that time
    long failed = 0;   // values the database did not take (the import stops at the first)
    std::string failure;
};

// Stores every value of every reading that its table does not hold yet,
// with the programs' login: the readings in date-time order, each table on
// a connection of its own (the three side by side), `batch` readings at a
// time as one multi-row INSERT IGNORE, the values already stored in that
// stretch of time left out after one look-up per batch. The tables'
// unique key on the date-time (one row per table and date-time) decides:
// a row stored meanwhile is refused by it, never doubled. A database whose
// weather tables lack that key (not upgraded by install-db) is refused
// before anything is stored. The import stops at the first failure; the
// batches stored before it stay.
ImportSummary storeWeatherReadings(const std::vector<ImportReading>& readings, int batch = 20000);

#endif
