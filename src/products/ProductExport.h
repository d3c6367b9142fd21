// The station's product: one record per minute of a period, with the
// stored IPWV and its uncertainty, the weather readings of the minute, the
// satellite the value was computed from and the station position, as CSV
// or JSON. Shared by ulmet-export and the web application's downloads, so
// both write exactly the same columns. Values that do not exist are
// explicit: an empty field in CSV, null in JSON.
#ifndef ULMET_PRODUCTEXPORT_H
#define ULMET_PRODUCTEXPORT_H

#include <ctime>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

// One column of the product: its name and how its stored text is written.
struct ProductColumn {
    const char* name = nullptr;
    const char* format = nullptr;  // printf conversion; "%d" for counts; nullptr: a text
    bool hidden = false;           // read to classify the minute, not written
};

// In record order; the record's time comes first, the hidden columns last.
extern const ProductColumn kProductColumns[];
extern const int kProductColumnCount;

// The bits of the `flags` word of a minute with a value.
struct ProductFlag {
    int bit;
    const char* name;
    const char* meaning;
};
extern const ProductFlag kProductFlags[];
extern const int kProductFlagCount;

// The codes of `empty_reason`, the one reason of a minute without a value,
// in the order they are tried (the first that holds is given).
struct ProductReason {
    const char* code;
    const char* meaning;
};
extern const ProductReason kProductReasons[];
extern const int kProductReasonCount;

// The values of one minute (every column, hidden ones included), as texts
// ready to write; empty when missing.
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
// is not empty (a station's copy on a network's central server), with the
// flags of each value and the reason of each minute without one. False,
// with `error` set, when a statement fails. Holds the whole period in
// memory: exportProduct streams a period of any length.
bool loadProduct(time_t first, time_t last, const std::string& schema, ProductRecords& records,
                 std::string* error);

// A number as the export writes it: in the column's fixed format when that
// gives back exactly the stored value and stays short, else in the
// shortest exponent form that does ("1e+70", "2.3470123456789e+00"). A
// count is an integer only when the value is one. Never cut, never rounded.
std::string productNumber(double value, const char* format);

// Reads the records of every minute from `first` to `last` a bounded
// number of days at a time and hands each, in time order, to `use` with
// its minute. False, with `error` set, when a statement fails.
bool forEachProductMinute(time_t first, time_t last, const std::string& schema,
                          const std::function<void(time_t, const ProductRecord&)>& use,
                          std::string* error);

// The flags word of a value, or the reason code of a minute without one,
// from the record's other columns; sets `flags` or `empty_reason`.
void classifyRecord(const std::string& minute, ProductRecord& record);

// The value of column `name` of a record (its text); empty for a name the
// export has no column of.
const std::string& productField(const ProductRecord& record, const char* name);

enum class ProductFormat { Csv, Json };

// What travels with the values: the station and the period, and whether
// the description of the product is written at all (`--no-metadata`
// writes the bare records that older readers expect).
struct ProductMetadata {
    std::string station;
    bool describe = true;
    // The station's description (StationMetadata.h): field name and value.
    std::vector<std::pair<std::string, std::string>> stationFields;
};

// The product's description: what the value is and is not, its time scale,
// its units, the processing in the key names of SINEX-TRO's description
// block where they fit, the flags and reasons, the station. CSV: "# key: value" lines before the
// column header; JSON: the object's "metadata" member, the records in "records".
std::vector<std::pair<std::string, std::string>> productDescription(const ProductMetadata& meta,
                                                                    time_t first, time_t last);

// Writes the product of every minute from `first` to `last` to `out`,
// reading and writing a bounded number of days at a time, so memory does
// not grow with the period. False, with `error` set, when a statement
// fails; what was written before stays written.
bool exportProduct(std::ostream& out, ProductFormat format, const ProductMetadata& meta,
                   time_t first, time_t last, const std::string& schema, std::string* error);

#endif
