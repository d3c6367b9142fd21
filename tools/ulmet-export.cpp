// ulmet-export: the station's product, one record per minute of a period,
// as CSV or JSON. Each record holds the minute (ISO 8601, GPS time as
// stored), the stored IPWV and its uncertainty, the weather readings of the
// minute, the satellite the value was computed from (elevation, PRN,
// satellite count) and the station position. Values that do not exist are
// explicit: an empty field in CSV, null in JSON. A description of the
// product (what the input is, method, time scale, units, the processing
// under SINEX-TRO's description names, the flags and reasons, and the
// station's own description from its station file, StationMetadata.h)
// comes first: "# " lines in CSV, the "metadata" member in JSON. Each value
// carries a flag word, each minute without one a reason code.
// docs/science.md describes every column and its unit.
//
//   ulmet-export --from T1 --to T2 [--format csv|json] [--out FILE]
//                [--station NAME] [--no-metadata]
//
// T1 and T2 are minutes as stored ("YYYY-MM-DD HH:MM[:SS]") or in ISO 8601
// ("YYYY-MM-DDTHH:MM[:SS]"), GPS time as stored (a final 'Z' is
// tolerated and ignored); nothing may follow the form; the seconds are ignored and both minutes
// are included. The period is read and written a few days at a time, so a
// period of any length needs the same memory. The database is reached as
// the station's programs reach it.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "DbSettings.h"
#include "products/ProductExport.h"
#include "products/StationMetadata.h"

namespace {

const char kUsage[] =
    "usage: ulmet-export --from T1 --to T2 [--format csv|json] [--out FILE]\n"
    "                    [--station NAME] [--no-metadata]\n"
    "  T1, T2: 'YYYY-MM-DD HH:MM[:SS]' or 'YYYY-MM-DDTHH:MM[:SS]', GPS time as\n"
    "          stored (seconds ignored)\n"
    "  --station: the station's name in the description (default: the id of the\n"
    "             station file, ULMET_STATION_CONFIG or /etc/ulmet/station.conf, else\n"
    "             the host name)\n"
    "  --no-metadata: the records alone, without the product's description\n";

std::string hostName() {
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) != 0) return "";
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    std::string from, to, format = "csv", outPath;
    ProductMetadata meta;
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--no-metadata") {
            meta.describe = false;
            continue;
        }
        if (i + 1 >= argc || (arg != "--from" && arg != "--to" && arg != "--format" &&
                              arg != "--out" && arg != "--station")) {
            std::cerr << "ulmet-export: unknown option or missing value: " << arg << "\n" << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        named = named || arg == "--station";
        (arg == "--from"      ? from
         : arg == "--to"      ? to
         : arg == "--format"  ? format
         : arg == "--station" ? meta.station
                              : outPath) = value;
    }
    time_t first = 0, last = 0;
    if (from.empty() || to.empty()) {
        std::cerr << "ulmet-export: --from and --to are required\n" << kUsage;
        return 2;
    }
    for (const auto& [text, minute] : {std::pair(from, &first), std::pair(to, &last)})
        if (!parseProductMinute(text, minute)) {
            std::cerr << "ulmet-export: cannot read the time '" << text << "'\n";
            return 2;
        }
    if (format != "csv" && format != "json") {
        std::cerr << "ulmet-export: --format is csv or json, not '" << format << "'\n";
        return 2;
    }
    first -= first % 60;
    last -= last % 60;
    if (first > last) {
        std::cerr << "ulmet-export: --from is after --to\n";
        return 2;
    }

    StationMetadata station;
    const std::string stationProblem = loadStationMetadata(&station);
    if (!stationProblem.empty()) {
        std::cerr << "ulmet-export: the station file " << stationProblem << "\n";
        return 1;
    }
    meta.stationFields = station.fields;
    if (!named)
        meta.station =
            station.value("station_id").empty() ? hostName() : station.value("station_id");

    if (!checkDbSettings()) return 1;

    const ProductFormat how = format == "csv" ? ProductFormat::Csv : ProductFormat::Json;
    std::string error;
    bool ok;
    if (outPath.empty()) {
        ok = exportProduct(std::cout, how, meta, first, last, "", &error);
    } else {
        // The file appears only complete: written beside it, then renamed.
        const std::string partial = outPath + ".partial";
        std::ofstream out(partial, std::ios::out | std::ios::trunc);
        ok = out && exportProduct(out, how, meta, first, last, "", &error);
        out.close();
        if (ok && (!out || std::rename(partial.c_str(), outPath.c_str()) != 0)) {
            ok = false;
            error = "cannot write " + outPath;
        }
        if (!ok) {
            std::remove(partial.c_str());
            if (error.empty()) error = "cannot write " + outPath;
        }
    }
    if (!ok) {
        std::cerr << "ulmet-export: " << error << "\n";
        std::cerr << "ulmet-export: export incomplete (is the database set up with "
                     "ulmet-install-db, and is the server running?)\n";
        return 1;
    }
    return 0;
}
