#include "web/WebApi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <set>
#include <sstream>
#include <vector>

#include "DBConfig.h"
#include "Database.h"
#include "health/StationHealth.h"
#include "products/ProductExport.h"
#include "products/StationMetadata.h"
#include "web/WebHealth.h"
#include "web/WebNetwork.h"
#include "web/WebPeriod.h"
#include "web/WebSeries.h"

namespace {

WebReply errorReply(int status, const std::string& message) {
    WebReply r;
    r.status = status;
    r.body = "{\"error\": " + jsonString(message) + "}\n";
    return r;
}

// A failure of the database, as the client sees it: whether the database
// could not be reached or could not answer, never the server's message or
// a statement (those go to standard error, the journal under systemd).
WebReply unavailable(const char* what, const std::string& detail) {
    std::cerr << "ulmet-web: " << what << ": " << detail << std::endl;
    return errorReply(503, detail.rfind("the database cannot be reached", 0) == 0
                               ? "the database cannot be reached"
                               : "the database could not answer (the server's log says why)");
}

// A parameter text for a message: short and printable, whatever was sent.
std::string shown(const std::string& text) {
    std::string s;
    for (char c : text.substr(0, 40)) s += (c >= 0x20 && c < 0x7f) ? c : '?';
    return text.size() > 40 ? s + "..." : s;
}

// The parameters of a request, each at most once and all of them known:
// "" and `values` filled, or the message of the first one that is not.
std::string takeParams(const WebParams& params, const std::set<std::string>& allowed,
                       std::map<std::string, std::string>* values) {
    for (const auto& [name, value] : params) {
        if (allowed.count(name) == 0) return "unknown parameter '" + shown(name) + "'";
        if (!values->emplace(name, value).second) return "parameter " + name + " given twice";
        if (value.empty()) return "parameter " + name + " is empty";
    }
    return "";
}

std::string get(const std::map<std::string, std::string>& values, const char* name) {
    auto it = values.find(name);
    return it == values.end() ? "" : it->second;
}

std::string num(double v, int decimals) {
    if (!std::isfinite(v)) return "null";
    char buffer[400];  // any double in fixed notation
    const int n = std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, v);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(buffer)) return "null";
    return std::string(buffer, static_cast<size_t>(n));
}

// A stored date-time "YYYY-MM-DD HH:MM:SS" in ISO 8601 form, or null. It
// stays on the stored scale, GPS time, which ISO 8601 has no designator
// for: no "Z" (that would claim UTC, 18 s off).
std::string isoStored(const std::string& stored) {
    if (stored.size() < 19) return "null";
    return jsonString(stored.substr(0, 10) + "T" + stored.substr(11, 8));
}

// A minute of the station's clock, which runs on the stored scale.
std::string isoTime(time_t t) { return jsonString(formatUtc(t, "%Y-%m-%dT%H:%M:%S")); }

std::string age(long seconds) { return seconds < 0 ? "null" : std::to_string(seconds); }

std::string healthFields(const DbHealth& h) {
    std::ostringstream o;
    o << "\"last_row_time\": " << isoStored(h.lastRowTime)
      << ", \"last_row_age_s\": " << age(h.lastRowAgeSeconds)
      << ", \"last_ipwv_time\": " << isoStored(h.lastIpwvTime)
      << ", \"last_ipwv_cm\": " << (h.lastIpwvTime.empty() ? "null" : num(h.lastIpwv, 4))
      << ", \"last_ipwv_age_s\": " << age(h.lastIpwvAgeSeconds)
      << ", \"missing_ipwv_minutes_last_hour\": " << h.missingIpwvMinutes;
    return o.str();
}

}  // namespace

WebReply WebApi::handle(const std::string& path, const WebParams& params, time_t now) const {
    WebReply reply = handleStreamed(path, params, now);
    if (!reply.writer) return reply;
    std::ostringstream o;
    std::string error;
    if (!reply.writer(o, &error)) return unavailable(path.c_str(), error);
    reply.body = o.str();
    reply.writer = nullptr;
    return reply;
}

WebReply WebApi::handleStreamed(const std::string& path, const WebParams& params,
                                time_t now) const {
    if (path == "/api/series") return series(params, now);
    if (path == "/api/health") return health(params, now);
    if (path == "/api/stations") return stations(params, now);
    if (path == "/api/export") return exportPeriod(params, now);
    if (path == "/api/station") return stationDescription(params);
    return errorReply(404, "no such API: " + shown(path) +
                               " (there are /api/series, /api/health, /api/stations, "
                               "/api/export, /api/station)");
}

bool WebApi::onlyStation(const WebParams& params, std::string* schema, std::string* name,
                         WebReply* reply) const {
    std::map<std::string, std::string> v;
    const std::string problem = takeParams(params, {"station"}, &v);
    if (!problem.empty()) {
        *reply = errorReply(400, problem);
        return false;
    }
    return station(params, schema, name, reply);
}

bool WebApi::station(const WebParams& params, std::string* schema, std::string* name,
                     WebReply* reply) const {
    auto it = params.find("station");
    if (!network_) {
        if (it == params.end()) return true;
        *reply = errorReply(404, "this server holds one station's data; there is no station '" +
                                     shown(it->second) + "'");
        return false;
    }
    if (it == params.end()) {
        *reply = errorReply(400, "name the station: station=NAME (this is a central server)");
        return false;
    }
    if (!validStationName(it->second)) {
        *reply = errorReply(400,
                            "a station name is 1 to 32 lower-case letters, digits or _, "
                            "starting with a letter, not '" +
                                shown(it->second) + "'");
        return false;
    }
    std::vector<std::string> names;
    std::string error;
    if (!networkStations(&names, &error)) {
        *reply = unavailable("the network's station list", error);
        return false;
    }
    if (std::find(names.begin(), names.end(), it->second) == names.end()) {
        *reply = errorReply(404, "no station '" + it->second + "' in this network");
        return false;
    }
    *name = it->second;
    *schema = stationSchema(it->second);
    return true;
}

WebReply WebApi::series(const WebParams& params, time_t now) const {
    std::map<std::string, std::string> v;
    std::string problem = takeParams(params, {"period", "from", "to", "points", "station"}, &v);
    if (!problem.empty()) return errorReply(400, problem);
    int points = kMaxSeriesPoints;
    const std::string p = get(v, "points");
    if (!p.empty()) {
        if (p.size() > 6 || p.find_first_not_of("0123456789") != std::string::npos)
            return errorReply(400,
                              "points is a whole number from 10 to 2000, not '" + shown(p) + "'");
        points = std::stoi(p);
        if (points < 10 || points > kMaxSeriesPoints)
            return errorReply(400, "points is a whole number from 10 to 2000, not " + p);
    }
    WebPeriod period;
    problem = parseWebPeriod(get(v, "period"), get(v, "from"), get(v, "to"), now, &period);
    if (!problem.empty()) return errorReply(400, problem);
    WebReply reply;
    std::string schema, name;
    if (!station(params, &schema, &name, &reply)) return reply;

    Series s;
    std::string error;
    if (!loadSeries(period, schema, points, now, &s, &error))
        return unavailable("/api/series", error);
    std::ostringstream o;
    o << "{\"station\": " << (name.empty() ? "null" : jsonString(name))
      << ", \"from\": " << isoTime(period.first) << ", \"to\": " << isoTime(period.last)
      << ", \"bucket_minutes\": " << s.bucketMinutes << ", \"points\": " << s.buckets.size();
    auto column = [&](const char* key, auto value) {
        o << ",\n\"" << key << "\": [";
        for (size_t i = 0; i < s.buckets.size(); ++i) o << (i ? "," : "") << value(s.buckets[i]);
        o << "]";
    };
    column("time", [](const SeriesBucket& b) { return std::to_string(b.start); });
    column("ipwv_rows", [](const SeriesBucket& b) { return std::to_string(b.ipwvRows); });
    column("ipwv_min_cm", [](const SeriesBucket& b) { return num(b.ipwvMin, 4); });
    column("ipwv_mean_cm", [](const SeriesBucket& b) { return num(b.ipwvMean, 4); });
    column("ipwv_max_cm", [](const SeriesBucket& b) { return num(b.ipwvMax, 4); });
    column("ipwv_sigma_cm", [](const SeriesBucket& b) { return num(b.sigmaMean, 4); });
    column("satellites", [](const SeriesBucket& b) { return num(b.satellites, 2); });
    column("elevation_deg", [](const SeriesBucket& b) { return num(b.elevation, 2); });
    column("pressure_hpa", [](const SeriesBucket& b) { return num(b.pressure, 2); });
    column("temperature_c", [](const SeriesBucket& b) { return num(b.temperature, 2); });
    column("rh_percent", [](const SeriesBucket& b) { return num(b.humidity, 2); });
    // The export's flags and reasons of the period's minutes, as the
    // download of the same period gives them: each bucket's flags (the
    // bits of any of its values), and the counts of the whole period. They
    // are read minute by minute, so only for periods of at most a week.
    if (period.minutes() <= kMaxQualityMinutes) {
        std::vector<int> flags(s.buckets.size(), -1);
        std::map<std::string, long> counts;
        long values = 0;
        size_t k = 0;
        const bool ok = forEachProductMinute(
            period.first, period.last, schema,
            [&](time_t t, const ProductRecord& record) {
                while (k + 1 < s.buckets.size() && s.buckets[k + 1].start <= t) ++k;
                const std::string& f = productField(record, "flags");
                if (f.empty()) {
                    ++counts[productField(record, "empty_reason")];
                    return;
                }
                ++values;
                const int word = std::stoi(f);
                flags[k] = (flags[k] < 0 ? 0 : flags[k]) | word;
                for (int i = 0; i < kProductFlagCount; ++i)
                    if (word & kProductFlags[i].bit) ++counts[kProductFlags[i].name];
            },
            &error);
        if (!ok) return errorReply(503, error);
        column("flags", [&](const SeriesBucket& b) {
            const int f = flags[&b - s.buckets.data()];
            return f < 0 ? std::string("null") : std::to_string(f);
        });
        o << ",\n\"quality\": {\"minutes\": " << period.minutes() << ", \"values\": " << values
          << ", \"flags\": {";
        for (int i = 0; i < kProductFlagCount; ++i)
            o << (i ? ", " : "") << jsonString(kProductFlags[i].name) << ": "
              << counts[kProductFlags[i].name];
        o << "}, \"empty_reasons\": {";
        for (int i = 0; i < kProductReasonCount; ++i)
            o << (i ? ", " : "") << jsonString(kProductReasons[i].code) << ": "
              << counts[kProductReasons[i].code];
        o << "}}";
    } else {
        o << ",\n\"flags\": null, \"quality\": null";
    }
    o << "}\n";
    reply.body = o.str();
    return reply;
}

WebReply WebApi::health(const WebParams& params, time_t now) const {
    WebReply reply;
    std::string schema, name;
    if (!onlyStation(params, &schema, &name, &reply)) return reply;
    const DbHealth h = databaseHealth(schema, now);
    if (!h.reachable) {
        reply = unavailable("/api/health", h.error);
        reply.body.insert(1, "\"database\": \"unreachable\", ");
        return reply;
    }
    // On a station with its state directory: the figures and judged lines
    // that ulmet-status prints (receiver, spool, clock, free space, ...).
    std::string machine;
    if (!network_ && !stateDir_.empty()) {
        health::Sources sources;
        sources.stateDir = stateDir_;
        sources.units = false;
        sources.now = static_cast<double>(now);
        const health::Figures figures = health::collect(sources);
        machine = ", \"station_health\": " + health::renderJson(figures, health::assess(figures));
        while (!machine.empty() && machine.back() == '\n') machine.pop_back();
    }
    reply.body = "{\"station\": " + (name.empty() ? std::string("null") : jsonString(name)) +
                 ", \"now\": " + isoTime(now) + ", \"database\": \"reachable\", " +
                 healthFields(h) + machine + "}\n";
    return reply;
}

WebReply WebApi::stations(const WebParams& params, time_t now) const {
    if (!network_)
        return errorReply(404, "this server is a station, not a network's central server");
    std::map<std::string, std::string> v;
    const std::string problem = takeParams(params, {}, &v);
    if (!problem.empty()) return errorReply(400, problem);
    std::vector<StationLine> lines;
    std::string error;
    if (!networkOverview(now, &lines, &error)) return unavailable("/api/stations", error);
    std::ostringstream o;
    o << "{\"now\": " << isoTime(now) << ", \"stations\": [";
    for (size_t i = 0; i < lines.size(); ++i) {
        const StationLine& l = lines[i];
        o << (i ? ",\n" : "\n") << "{\"name\": " << jsonString(l.name)
          << ", \"state\": " << jsonString(l.receive.state)
          << ", \"behind_s\": " << age(l.receive.behindSeconds)
          << ", \"problem\": " << jsonString(l.receive.problem)
          << ", \"healthy\": " << (l.healthy ? "true" : "false")
          << ", \"reason\": " << jsonString(l.reason) << ", \"database\": \""
          << (l.health.reachable ? "reachable" : "unreachable") << "\", " << healthFields(l.health)
          << "}";
    }
    o << "]}\n";
    WebReply reply;
    reply.body = o.str();
    return reply;
}

WebReply WebApi::exportPeriod(const WebParams& params, time_t now) const {
    std::map<std::string, std::string> v;
    std::string problem = takeParams(params, {"period", "from", "to", "format", "station"}, &v);
    if (!problem.empty()) return errorReply(400, problem);
    const std::string format = get(v, "format").empty() ? "csv" : get(v, "format");
    if (format != "csv" && format != "json")
        return errorReply(400, "format is csv or json, not '" + shown(format) + "'");
    WebPeriod period;
    problem = parseWebPeriod(get(v, "period"), get(v, "from"), get(v, "to"), now, &period);
    if (!problem.empty()) return errorReply(400, problem);
    if (period.minutes() > kMaxExportMinutes)
        return errorReply(400,
                          "a download covers at most 31 days; ulmet-export writes longer "
                          "periods");
    WebReply reply;
    std::string schema, name;
    if (!station(params, &schema, &name, &reply)) return reply;
    // Whether the database answers at all is known before the download
    // starts; a failure while it is written can only cut it short.
    {
        Database db;
        if (db.openConnection(host, database, user, password) != 200)
            return unavailable("/api/export", "the database cannot be reached (error " +
                                                  std::to_string(db.errorNumber()) +
                                                  "): " + db.errorMessage());
    }
    ProductMetadata meta;
    meta.station = name.empty() ? "this station" : name;
    if (!network_) {
        // The station's own description, from its station file.
        StationMetadata station;
        const std::string fileProblem = loadStationMetadata(&station);
        meta.stationFields = station.fields;
        if (!fileProblem.empty())
            meta.stationFields.emplace_back("station_file_error", fileProblem);
        if (name.empty() && !station.value("station_id").empty())
            meta.station = station.value("station_id");
    }
    const ProductFormat kind = format == "csv" ? ProductFormat::Csv : ProductFormat::Json;
    reply.writer = [kind, meta, period, schema](std::ostream& out, std::string* error) {
        return exportProduct(out, kind, meta, period.first, period.last, schema, error);
    };
    if (format == "csv") reply.contentType = "text/csv; charset=utf-8";
    reply.filename = "ulmet" + (name.empty() ? std::string() : "-" + name) + "-" +
                     formatUtc(period.first, "%Y%m%dT%H%M") + "-" +
                     formatUtc(period.last, "%Y%m%dT%H%M") + "." + format;
    return reply;
}

WebReply WebApi::stationDescription(const WebParams& params) const {
    WebReply reply;
    std::string schema, name;
    if (!onlyStation(params, &schema, &name, &reply)) return reply;
    std::ostringstream o;
    o << "{\"station\": " << (name.empty() ? "null" : jsonString(name)) << ", \"metadata\": ";
    if (network_) {
        // The description lives in each station's own file.
        o << "null, \"metadata_error\": "
          << jsonString("a station's description is kept on the station (its station file)");
    } else {
        StationMetadata station;
        const std::string bad = loadStationMetadata(&station);
        o << "{";
        for (size_t i = 0; i < station.fields.size(); ++i)
            o << (i ? ", " : "") << jsonString(station.fields[i].first) << ": "
              << (station.fields[i].second.empty() ? "null" : jsonString(station.fields[i].second));
        o << "}, \"metadata_error\": " << (bad.empty() ? "null" : jsonString(bad));
    }
    // The processing, as the export describes it.
    ProductMetadata none;
    o << ", \"description\": {";
    bool first = true;
    for (const auto& [key, value] : productDescription(none, 0, 0)) {
        if (key == "station" || key == "period") continue;
        o << (first ? "" : ", ") << jsonString(key) << ": " << jsonString(value);
        first = false;
    }
    o << "}, \"flags\": [";
    for (int i = 0; i < kProductFlagCount; ++i)
        o << (i ? ", " : "") << "{\"bit\": " << kProductFlags[i].bit
          << ", \"name\": " << jsonString(kProductFlags[i].name)
          << ", \"meaning\": " << jsonString(kProductFlags[i].meaning) << "}";
    o << "], \"empty_reasons\": [";
    for (int i = 0; i < kProductReasonCount; ++i)
        o << (i ? ", " : "") << "{\"code\": " << jsonString(kProductReasons[i].code)
          << ", \"meaning\": " << jsonString(kProductReasons[i].meaning) << "}";
    o << "]}\n";
    reply.body = o.str();
    return reply;
}
