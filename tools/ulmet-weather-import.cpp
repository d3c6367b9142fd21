// ulmet-weather-import [--format rinex|log|csv] [--dry-run] FILE...
// Stores the weather readings of files (WeatherImport.h); running it twice
// over the same file stores nothing the second time. Exit status 0 when
// every file was read and every value stored or already present, 1 when
// lines or values were refused, 2 on a file that cannot be read or a database
// failure.
#include <fstream>
#include <iostream>
#include <string>

#include "DbSettings.h"
#include "weather/WeatherImport.h"

int main(int argc, char** argv) {
    ImportFormat format = ImportFormat::Auto;
    bool dryRun = false;
    int status = 0;
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--format" && i + 1 < argc) {
            std::string f = argv[++i];
            if (f == "rinex") {
                format = ImportFormat::Rinex;
            } else if (f == "log") {
                format = ImportFormat::StationLog;
            } else if (f == "csv") {
                format = ImportFormat::Csv;
            } else {
                std::cout << "ulmet-weather-import: unknown format " << f << std::endl;
                return 2;
            }
            continue;
        }
        if (a == "--dry-run") {
            dryRun = true;
            continue;
        }
        if (a.size() > 1 && a[0] == '-') {
            std::cout << "usage: ulmet-weather-import [--format rinex|log|csv] [--dry-run] FILE..."
                      << std::endl;
            return 2;
        }
        if (files++ == 0 && !dryRun && !checkDbSettings()) return 2;
        std::ifstream in(a, std::ios::binary);
        if (!in) {
            std::cout << a << ": cannot be opened" << std::endl;
            status = 2;
            continue;
        }
        ParsedWeatherFile parsed = parseWeatherFile(in, format);
        if (!parsed.error.empty()) {
            std::cout << a << ": " << parsed.error << std::endl;
            status = 2;
            continue;
        }
        for (const ImportProblem& p : parsed.refused)
            std::cout << a << ":" << p.line << ": refused: " << p.what << std::endl;
        if (parsed.linesRefused > static_cast<long>(parsed.refused.size()))
            std::cout << a << ": " << parsed.linesRefused - static_cast<long>(parsed.refused.size())
                      << " more lines refused" << std::endl;
        for (const ImportProblem& p : parsed.refusedValues)
            std::cout << a << ":" << p.line << ": value refused, the line's others kept: " << p.what
                      << std::endl;
        if (parsed.valuesRefused > static_cast<long>(parsed.refusedValues.size()))
            std::cout << a << ": "
                      << parsed.valuesRefused - static_cast<long>(parsed.refusedValues.size())
                      << " more values refused" << std::endl;
        ImportSummary sum;
        if (!dryRun) sum = storeWeatherReadings(parsed.readings);
        if (!sum.failure.empty()) std::cout << a << ": database: " << sum.failure << std::endl;
        std::cout << a << " (" << importFormatName(parsed.format) << "): " << parsed.readings.size()
                  << " readings, " << sum.stored << " values stored, " << sum.present
                  << " already present, " << parsed.linesRefused << " lines refused, "
                  << parsed.valuesRefused << " values refused" << std::endl;
        if (sum.failed > 0) status = 2;
        if (status == 0 && (parsed.linesRefused > 0 || parsed.valuesRefused > 0)) status = 1;
    }
    if (files == 0) {
        std::cout << "usage: ulmet-weather-import [--format rinex|log|csv] [--dry-run] FILE..."
                  << std::endl;
        return 2;
    }
    return status;
}
