#include "WebSeries.h"

#include <mysql.h>

#include <cmath>
#include <cstdlib>
#include <future>

#include "DBConfig.h"
#include "Database.h"
#include "ProductExport.h"

namespace {

const double kNone = std::nan("");

double number(const char* text) {
    if (text == nullptr) return kNone;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    return (end == text || !std::isfinite(v)) ? kNone : v;
}

// Runs one grouped SELECT, on a connection of its own, whose first column
// is the bucket index, and hands every row with a valid index to `use`.
template <class Use>
bool eachBucket(const std::string& select, size_t count, Use use, std::string* error) {
    Database db;
    if (db.openConnection(host, database, user, password) != 200) {
        *error = "the database cannot be reached (error " + std::to_string(db.errorNumber()) +
                 "): " + db.errorMessage();
        return false;
    }
    MYSQL_RES* res = db.query(select.c_str());
    if (res == nullptr) {
        *error = "the statement failed (error " + std::to_string(db.errorNumber()) +
                 "): " + db.errorMessage();
        return false;
    }
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        if (row[0] == nullptr) continue;
        const long k = std::strtol(row[0], nullptr, 10);
        if (k >= 0 && static_cast<size_t>(k) < count) use(static_cast<size_t>(k), row);
    }
    return true;
}

}  // namespace

SeriesBucket::SeriesBucket()
    : ipwvMin(kNone),
      ipwvMean(kNone),
      ipwvMax(kNone),
      sigmaMean(kNone),
      satellites(kNone),
      elevation(kNone),
      pressure(kNone),
      temperature(kNone),
      humidity(kNone) {}

int bucketMinutesFor(long minutes, int maxPoints) {
    if (maxPoints < 1) maxPoints = 1;
    return static_cast<int>((minutes + maxPoints - 1) / maxPoints);
}

bool loadSeries(const WebPeriod& period, const std::string& schema, int maxPoints, Series* out,
                std::string* error) {
    out->period = period;
    out->bucketMinutes = bucketMinutesFor(period.minutes(), maxPoints);
    const long bucketSeconds = 60L * out->bucketMinutes;
    const size_t count = static_cast<size_t>((period.last - period.first) / bucketSeconds + 1);
    out->buckets.assign(count, SeriesBucket());
    for (size_t i = 0; i < count; ++i)
        out->buckets[i].start = period.first + static_cast<time_t>(i) * bucketSeconds;

    const std::string lo = formatUtc(period.first, "%Y-%m-%d %H:%M:00");
    const std::string hi = formatUtc(period.last, "%Y-%m-%d %H:%M:59");
    const std::string bucket = "TIMESTAMPDIFF(MINUTE, '" + lo + "', data) DIV " +
                               std::to_string(out->bucketMinutes) + " AS k";
    const std::string in = schema.empty() ? std::string(" FROM ") : " FROM `" + schema + "`.";
    const std::string range = " WHERE data >= '" + lo + "' AND data <= '" + hi + "'";

    std::vector<SeriesBucket>& b = out->buckets;
    struct Weather {
        const char* table;
        const char* column;
        double SeriesBucket::*field;
    };
    const Weather weather[] = {{"pressure", "pressure_value", &SeriesBucket::pressure},
                               {"temperature", "temperature_value", &SeriesBucket::temperature},
                               {"humidity", "humidity_value", &SeriesBucket::humidity}};
    // The four grouped statements run side by side, each on a connection
    // of its own: each fills other members of the buckets.
    std::string errors[4];
    std::vector<std::future<bool>> runs;
    runs.push_back(std::async(std::launch::async, [&] {
        return eachBucket(
            "SELECT " + bucket +
                ", COUNT(*), MIN(ipwv_value), AVG(ipwv_value), MAX(ipwv_value), AVG(ipwv_sigma), "
                "AVG(satellites), AVG(elevation)" +
                in + "ipwv" + range + " AND ipwv_value IS NOT NULL GROUP BY k ORDER BY NULL",
            count,
            [&](size_t k, MYSQL_ROW row) {
                b[k].ipwvRows = std::atoi(row[1]);
                b[k].ipwvMin = number(row[2]);
                b[k].ipwvMean = number(row[3]);
                b[k].ipwvMax = number(row[4]);
                b[k].sigmaMean = number(row[5]);
                b[k].satellites = number(row[6]);
                b[k].elevation = number(row[7]);
            },
            &errors[0]);
    }));
    for (int i = 0; i < 3; ++i) {
        const Weather& w = weather[i];
        runs.push_back(std::async(std::launch::async, [&, i] {
            return eachBucket(
                "SELECT " + bucket + ", AVG(" + w.column + ")" + in + w.table + range +
                    " GROUP BY k ORDER BY NULL",
                count, [&](size_t k, MYSQL_ROW row) { b[k].*(w.field) = number(row[1]); },
                &errors[i + 1]);
        }));
    }
    bool ok = true;
    for (size_t i = 0; i < runs.size(); ++i) {
        if (runs[i].get() || !ok) continue;
        ok = false;
        *error = errors[i];
    }
    return ok;
}
