// Weather readings from files: RINEX meteorological files (2.11 and 3.x,
// observation types PR, TD, HR), the weather-station log ARDUINO_LOG.TXT
// as ulmet-weather --station-log writes it ("YYYY-MM-DD HH:MM:SS,P,T,RH",
// ',' ';' or tab between the fields, an empty field for a missing value)
// and CSV with a header naming the columns time, pressure_hPa,
// temperature_C and humidity_pct (any order, other columns ignored; time
// "YYYY-MM-DD HH:MM:SS", a 'T' instead of the blank and a final 'Z'
// accepted). Every time is stored as written (RINEX: the file's GPS time).
//
// A line that does not parse, or holds a value outside the bounds of
// NmeaWeather.h, is refused with its line number; the rest of the file is
// still read.
#ifndef ULMET_WEATHERIMPORT_H
#define ULMET_WEATHERIMPORT_H

#include <istream>
#include <string>
#include <vector>

#include "NmeaWeather.h"

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

struct ParsedWeatherFile {
    ImportFormat format = ImportFormat::Auto;  // the one used
    std::vector<ImportReading> readings;
    std::vector<ImportProblem> refused;
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

// Stores every value of every reading that its table does not hold yet
// (one row per table and date-time), on one connection with the
// programs' login, committed every `batch` readings.
ImportSummary storeWeatherReadings(const std::vector<ImportReading>& readings, int batch = 500);

#endif
