#include "web/WebSeries.h"

#include <mysql.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <tuple>

#include "DBConfig.h"
#include "Database.h"
#include "products/ProductExport.h"

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

namespace {

// Reduced buckets of long periods that have ended, kept for a while: a
// page that shows a year and refreshes every minute then asks the
// database only for its newest buckets. Buckets start at whole multiples
// of their length, so a period that moves on by a minute keeps them.
struct CachedBucket {
    SeriesBucket bucket;
    time_t stored = 0;
};
using CacheKey = std::tuple<std::string, int, time_t>;  // schema, bucket minutes, start
std::mutex cacheMutex;
std::map<CacheKey, CachedBucket> cache;
constexpr std::size_t kCacheLimit = 100000;

}  // namespace

void clearSeriesCache() {
    std::lock_guard<std::mutex> lock(cacheMutex);
    cache.clear();
}

bool loadSeries(const WebPeriod& period, const std::string& schema, int maxPoints, time_t now,
                Series* out, std::string* error) {
    out->period = period;
    // Buckets start at multiples of their length; the first may begin
    // before the period (its rows are those of the period only).
    int minutes = bucketMinutesFor(period.minutes(), maxPoints);
    long bucketSeconds = 60L * minutes;
    time_t base = period.first - period.first % bucketSeconds;
    while ((period.last - base) / bucketSeconds + 1 > std::max(maxPoints, 1)) {
        ++minutes;
        bucketSeconds = 60L * minutes;
        base = period.first - period.first % bucketSeconds;
    }
    out->bucketMinutes = minutes;
    const size_t count = static_cast<size_t>((period.last - base) / bucketSeconds + 1);
    out->buckets.assign(count, SeriesBucket());
    for (size_t i = 0; i < count; ++i)
        out->buckets[i].start = base + static_cast<time_t>(i) * bucketSeconds;
    out->buckets[0].start = period.first;

    // A bucket inside the period that ended kCacheSettleSeconds ago is
    // taken from the cache when stored there within kCacheSeconds.
    auto cacheable = [&](size_t i) {
        const time_t start = base + static_cast<time_t>(i) * bucketSeconds;
        return minutes > 1 && start >= period.first && start + bucketSeconds <= period.last + 60 &&
               start + bucketSeconds + kCacheSettleSeconds <= now;
    };
    std::vector<bool> needed(count, true);
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        for (size_t i = 0; i < count; ++i) {
            if (!cacheable(i)) continue;
            auto it = cache.find(CacheKey(schema, minutes, out->buckets[i].start));
            if (it == cache.end() || it->second.stored + kCacheSeconds < now) continue;
            out->buckets[i] = it->second.bucket;
            needed[i] = false;
        }
    }
    // The minutes still to be read, as ranges of whole buckets; with many
    // holes, the whole period.
    std::vector<std::pair<time_t, time_t>> ranges;  // first and last minute
    for (size_t i = 0; i < count; ++i) {
        if (!needed[i]) continue;
        const time_t from = std::max(period.first, base + static_cast<time_t>(i) * bucketSeconds);
        const time_t to =
            std::min(period.last, base + static_cast<time_t>(i + 1) * bucketSeconds - 60);
        if (!ranges.empty() && ranges.back().second + 60 == from)
            ranges.back().second = to;
        else
            ranges.emplace_back(from, to);
    }
    if (ranges.empty()) return true;
    if (ranges.size() > 8) ranges.assign(1, {period.first, period.last});

    const std::string lo = formatUtc(base, "%Y-%m-%d %H:%M:00");
    const std::string bucket =
        "TIMESTAMPDIFF(MINUTE, '" + lo + "', data) DIV " + std::to_string(minutes) + " AS k";
    const std::string in = schema.empty() ? std::string(" FROM ") : " FROM `" + schema + "`.";
    std::string range = " WHERE (";
    for (size_t r = 0; r < ranges.size(); ++r)
        range += std::string(r ? " OR " : "") + "(data >= '" +
                 formatUtc(ranges[r].first, "%Y-%m-%d %H:%M:00") + "' AND data <= '" +
                 formatUtc(ranges[r].second, "%Y-%m-%d %H:%M:59") + "')";
    range += ")";

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
    if (!ok) return false;
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (cache.size() > kCacheLimit) cache.clear();
    for (size_t i = 0; i < count; ++i)
        if (needed[i] && cacheable(i))
            cache[CacheKey(schema, minutes, out->buckets[i].start)] = {out->buckets[i], now};
    return true;
}
