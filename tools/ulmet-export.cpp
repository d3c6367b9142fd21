// ulmet-export: the station's product, one record per minute of a period,
// as CSV or JSON. Each record holds the minute (ISO 8601, UTC), the stored
// IPWV and its uncertainty, the weather readings of the minute, the
// satellite the value was computed from (elevation, PRN, satellite count)
// and the station position. Values that do not exist are explicit: an
// empty field in CSV, null in JSON. docs/science.md describes every
// column and its unit.
//
//   ulmet-export --from T1 --to T2 [--format csv|json] [--out FILE]
//
// T1 and T2 are minutes as stored ("YYYY-MM-DD HH:MM[:SS]") or in ISO 8601
// ("YYYY-MM-DDTHH:MM[:SS][Z]"); the seconds are ignored and both minutes
// are included. The database is reached as the station's programs reach it.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "DbSettings.h"
#include "ProductExport.h"

namespace {

const char kUsage[] =
    "usage: ulmet-export --from T1 --to T2 [--format csv|json] [--out FILE]\n"
    "  T1, T2: 'YYYY-MM-DD HH:MM[:SS]' or 'YYYY-MM-DDTHH:MM[:SS][Z]' (seconds ignored)\n";

}  // namespace

int main(int argc, char** argv) {
    std::string from, to, format = "csv", outPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc ||
            (arg != "--from" && arg != "--to" && arg != "--format" && arg != "--out")) {
            std::cerr << "ulmet-export: unknown option or missing value: " << arg << "\n" << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        (arg == "--from"     ? from
         : arg == "--to"     ? to
         : arg == "--format" ? format
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

    if (!checkDbSettings()) return 1;

    ProductRecords records;
    std::string error;
    const bool ok = loadProduct(first, last, "", records, &error);
    if (!ok) {
        std::cerr << "ulmet-export: " << error << "\n";
        std::cerr << "ulmet-export: nothing written (is the database set up with "
                     "ulmet-install-db, and is the server running?)\n";
        return 1;
    }

    std::ostringstream text;
    if (format == "csv")
        writeProductCsv(text, records);
    else
        writeProductJson(text, records);
    if (outPath.empty()) {
        std::cout << text.str() << std::flush;
        return std::cout ? 0 : 1;
    }
    std::ofstream out(outPath, std::ios::out | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
        std::cerr << "ulmet-export: cannot write " << outPath << "\n";
        return 1;
    }
    return 0;
}
