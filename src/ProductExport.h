// The station's product: one record per minute of a period, with the
// stored IPWV and its uncertainty, the weather readings of the minute, the
// satellite the value was computed from and the station position, as CSV
// or JSON. Shared by ulmet-export and the web application's downloads, so
// both write exactly the same columns. Values that do not exist are
// explicit: an empty field in CSV, null in JSON.
#ifndef ULMET_PRODUCTEXPORT_H
#define ULMET_PRODUCTEXPORT_H

#include <ctime>
#include <map>
#include <ostream>
#include <string>
#include <vector>

// One column of the product: its name and how its stored text is written.
struct ProductColumn {
    const char* name;
    const char* format;  // printf conversion of the number; "%d" for counts
};

// In record order; the record's time comes first.
extern const ProductColumn kProductColumns[];
extern const int kProductColumnCount;

// The values of one minute, as texts ready to write; empty when missing.
using ProductRecord = std::vector<std::string>;
// Records by minute text "YYYY-MM-DD HH:MM".
using ProductRecords = std::map<std::string, ProductRecord>;

// A minute from "YYYY-MM-DD HH:MM[:SS]" or "YYYY-MM-DDTHH:MM[:SS][Z]" on
// the UTC calendar, seconds ignored; false when the text is not a valid
// date-time.
bool parseProductMinute(std::string text, time_t* minute);

// `t` on the UTC calendar in strftime's `format`.
std::string formatUtc(time_t t, const char* format);

// Reads the records of every minute from `first` to `last` (whole minutes,
// both included) from the station's tables, qualified by `schema` when it
// is not empty (a station's copy on a network's central server). False,
// with `error` set, when a statement fails.
bool loadProduct(time_t first, time_t last, const std::string& schema, ProductRecords& records,
                 std::string* error);

void writeProductCsv(std::ostream& out, const ProductRecords& records);
void writeProductJson(std::ostream& out, const ProductRecords& records);

#endif
