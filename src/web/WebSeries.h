// The series behind the station page: IPWV with its uncertainty, the
// satellites of the minute and the elevation of the one that gave the
// value, and the surface weather, over a period reduced by the database
// to at most a given number of buckets of whole minutes (minimum, mean
// and maximum of IPWV, means of the rest), so that a year costs the page
// no more points than a day. A bucket without rows is a gap.
#ifndef ULMET_WEBSERIES_H
#define ULMET_WEBSERIES_H

#include <ctime>
#include <string>
#include <vector>

#include "web/WebPeriod.h"

// A figure that does not exist in a bucket is NaN.
struct SeriesBucket {
    time_t start = 0;
    int ipwvRows = 0;
    double ipwvMin, ipwvMean, ipwvMax, sigmaMean;
    double satellites, elevation;
    double pressure, temperature, humidity;
    SeriesBucket();
};

struct Series {
    WebPeriod period;
    int bucketMinutes = 1;
    std::vector<SeriesBucket> buckets;  // every bucket of the period, in order
};

// The most points a series holds by default and at most.
constexpr int kMaxSeriesPoints = 2000;

// Minutes per bucket so that `minutes` fit in `maxPoints` buckets (one
// more may be needed once they start at multiples of their length).
int bucketMinutesFor(long minutes, int maxPoints);

// Buckets of long periods (more than a minute each) that ended at least
// kCacheSettleSeconds before `now` are kept in memory and reused for
// kCacheSeconds: a row stored that late into such a bucket (a station
// catching up on a central server) shows within that time.
constexpr long kCacheSettleSeconds = 600;
constexpr long kCacheSeconds = 600;

// Forgets every kept bucket (the tests' tables are emptied between cases).
void clearSeriesCache();

// Reads the reduced series of `period` from the station's tables (in
// `schema` when not empty). Buckets start at whole multiples of their
// length on the UTC clock (the first one at the period's start), so at
// most `maxPoints` of them cover the period. False, with `error` set, when
// the database cannot be reached or a statement fails. Safe to call from
// several threads.
bool loadSeries(const WebPeriod& period, const std::string& schema, int maxPoints, time_t now,
                Series* out, std::string* error);

#endif
