#include "network/CollectorRules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace collector {

const std::vector<std::string>& tables() {
    static const std::vector<std::string> names = {"troposphericDelay", "gps",         "ipwv",
                                                   "pressure",          "temperature", "humidity",
                                                   "radiance",          "raingauge"};
    return names;
}

namespace {

bool parseUnsigned(const std::string& text, unsigned long long low, unsigned long long high,
                   unsigned long long* value) {
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return *value >= low && *value <= high;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

std::string usage() {
    return "usage: ulmet-collector [--state-dir DIR] [--socket PATH] [--every S] [--jobs N]\n"
           "         [--metrics-file FILE] [--connect-timeout S] [--read-timeout S]\n"
           "         [--deadline S] [--max-row-bytes B] [--max-rows N] [--max-bytes B]\n"
           "         [STATION...]\n";
}

bool parseArguments(const std::vector<std::string>& args, Options* o, std::string* error) {
    struct Number {
        const char* name;
        unsigned long long low, high;
        unsigned long long value;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            error->clear();
            return false;
        }
        if (a.size() < 2 || a.compare(0, 2, "--") != 0) {
            if (!validStationName(a)) {
                *error = "station name '" + a + "': 1 to 32 of a-z 0-9 _, starting with a letter";
                return false;
            }
            o->stations.push_back(a);
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = a + " needs a value";
            return false;
        }
        const std::string& v = args[++i];
        unsigned long long n = 0;
        auto number = [&](unsigned long long low, unsigned long long high) {
            if (parseUnsigned(v, low, high, &n)) return true;
            *error = a + " " + v + ": a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high);
            return false;
        };
        if (a == "--state-dir")
            o->stateDir = v;
        else if (a == "--socket")
            o->socket = v;
        else if (a == "--metrics-file")
            o->metricsFile = v;
        else if (a == "--every") {
            if (!number(1, 86400)) return false;
            o->every = static_cast<unsigned>(n);
        } else if (a == "--jobs") {
            if (!number(1, 256)) return false;
            o->jobs = static_cast<unsigned>(n);
        } else if (a == "--connect-timeout") {
            if (!number(1, 600)) return false;
            o->limits.connectSeconds = static_cast<unsigned>(n);
        } else if (a == "--read-timeout") {
            if (!number(1, 600)) return false;
            o->limits.readSeconds = static_cast<unsigned>(n);
        } else if (a == "--deadline") {
            if (!number(1, 3600)) return false;
            o->limits.deadlineSeconds = static_cast<unsigned>(n);
        } else if (a == "--max-row-bytes") {
            if (!number(1024, 16u << 20)) return false;
            o->limits.rowBytes = n;
        } else if (a == "--max-rows") {
            if (!number(1, 1000000)) return false;
            o->limits.tableRows = n;
        } else if (a == "--max-bytes") {
            if (!number(65536, 1ull << 32)) return false;
            o->limits.roundBytes = n;
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    if (o->stateDir.empty()) {
        *error = "--state-dir: a directory";
        return false;
    }
    return true;
}

bool parseOptionFile(const std::string& text, ClientOptions* o, std::string* error) {
    std::istringstream in(text);
    std::string line, group;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                *error = "line " + std::to_string(number) + ": a group without ']'";
                return false;
            }
            group = trim(line.substr(1, line.size() - 2));
            continue;
        }
        if (group != "client") continue;
        std::size_t eq = line.find('=');
        std::string key = trim(line.substr(0, eq));
        std::replace(key.begin(), key.end(), '_', '-');
        std::string value = eq == std::string::npos ? "" : trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        bool flag = eq == std::string::npos;
        unsigned long long n = 0;
        if (key == "host")
            o->host = value;
        else if (key == "user")
            o->user = value;
        else if (key == "password")
            o->password = value;
        else if (key == "socket")
            o->socket = value;
        else if (key == "database")
            o->database = value;
        else if (key == "ssl-ca")
            o->sslCa = value;
        else if (key == "ssl-cert")
            o->sslCert = value;
        else if (key == "ssl-key")
            o->sslKey = value;
        else if (key == "ssl")
            o->ssl = flag || value == "1" || value == "ON" || value == "on" || value == "TRUE";
        else if (key == "ssl-verify-server-cert")
            o->verifyServerCert = flag || value == "1" || value == "ON" || value == "on";
        else if (key == "port" || key == "connect-timeout") {
            if (!parseUnsigned(value, 1, key == "port" ? 65535 : 3600, &n)) {
                *error = "line " + std::to_string(number) + ": " + key + " '" + value +
                         "' is not a number in range";
                return false;
            }
            (key == "port" ? o->port : o->connectTimeout) = static_cast<unsigned>(n);
        }
    }
    return true;
}

bool validStationName(const std::string& name) {
    if (name.empty() || name.size() > 32 || name[0] < 'a' || name[0] > 'z') return false;
    return name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
}

bool plainIdentifier(const std::string& name) {
    return !name.empty() && name.size() <= 64 &&
           name.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") ==
               std::string::npos;
}

std::string cleanText(const std::string& text, std::size_t max) {
    std::string out;
    for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
    if (out.size() > max) {
        std::size_t cut = max;
        // Not in the middle of a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

std::chrono::seconds backoff(unsigned failures) {
    if (failures == 0) return std::chrono::seconds(0);
    unsigned shift = std::min(failures - 1, 5u);
    return std::chrono::seconds(std::min(1u << shift, 30u));
}

std::uint64_t fetchAbove(std::uint64_t copyMax, unsigned overlap) {
    return copyMax > overlap ? copyMax - overlap : 0;
}

bool parseId(const char* text, std::size_t length, std::uint64_t* id) {
    if (text == nullptr || length == 0 || length > 19) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
    }
    *id = v;
    return true;
}

std::string idsWentBack(const std::string& table, std::uint64_t stationMax, std::uint64_t copyMax) {
    if (stationMax >= copyMax) return "";
    return "ids went back in " + table + " (station's newest " + std::to_string(stationMax) +
           ", copy's " + std::to_string(copyMax) + "): its rows up to id " +
           std::to_string(copyMax) +
           " are not fetched; take the station's rows back (docs/operations.md)";
}

Budget::Verdict Budget::take(std::size_t bytes) {
    if (bytes > limits_.rowBytes) return Verdict::RowTooLarge;
    if (bytes_ + bytes > limits_.roundBytes) return Verdict::RoundBytesSpent;
    bytes_ += bytes;
    return Verdict::Take;
}

namespace {
int rank(const std::string& state) {
    return state == "failed" ? 3 : state == "capped" ? 2 : state == "odd" ? 1 : 0;
}
void worsen(Outcome* o, const char* state, const std::string& text) {
    if (rank(state) > rank(o->state)) {
        o->error = cleanText(o->error.empty() ? text : text + "; " + o->error);
        o->state = state;
    } else if (o->error.empty()) {
        o->error = cleanText(text);
    }
}
}  // namespace

void Outcome::fail(const std::string& text) { worsen(this, "failed", text); }
void Outcome::cap(const std::string& text) { worsen(this, "capped", text); }
void Outcome::odd(const std::string& text) { worsen(this, "odd", text); }

std::string oddValuesText(std::uint64_t oddValues) {
    return std::to_string(oddValues) +
           " values of the station's rows did not fit the schema (stored converted)";
}

namespace {
std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}
}  // namespace

std::string metricsText(const RoundFigures& r, const std::vector<StationFigures>& stations) {
    std::string t;
    auto head = [&](const char* name, const char* type, const char* help) {
        t += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    auto single = [&](const char* name, const char* type, const char* help, double v) {
        head(name, type, help);
        t += std::string(name) + " " + number(v) + "\n";
    };
    single("ulmet_collector_state_timestamp_seconds", "gauge", "When this file was written.",
           r.now);
    single("ulmet_collector_round_duration_seconds", "gauge",
           "How long the last finished round of fetches took.", r.roundSeconds);
    single("ulmet_collector_rounds_total", "counter", "Rounds of fetches started.", r.rounds);
    single("ulmet_collector_skipped_total", "counter",
           "Station fetches skipped because the station's previous one still ran.", r.skipped);
    auto each = [&](const char* name, const char* type, const char* help, auto value) {
        head(name, type, help);
        for (const StationFigures& s : stations)
            t += std::string(name) + "{station=\"" + s.name + "\"} " + number(value(s)) + "\n";
    };
    each("ulmet_collector_station_lag_seconds", "gauge",
         "Seconds since the station's last fetch that did not fail (NaN before the first).",
         [](const StationFigures& s) { return s.lagSeconds < 0 ? std::nan("") : s.lagSeconds; });
    each("ulmet_collector_station_up", "gauge",
         "1 when the station's last fetch did not fail, 0 when it failed or none ran yet.",
         [](const StationFigures& s) {
             return s.state == "ok" || s.state == "odd" || s.state == "capped" ? 1.0 : 0.0;
         });
    each("ulmet_collector_station_rows_total", "counter",
         "Rows of the station stored in its copy since the collector started.",
         [](const StationFigures& s) { return s.rows; });
    each("ulmet_collector_station_errors_total", "counter",
         "Failed fetches of the station since the collector started.",
         [](const StationFigures& s) { return s.errors; });
    each("ulmet_collector_station_capped_total", "counter",
         "Fetches of the station cut at a limit since the collector started.",
         [](const StationFigures& s) { return s.capped; });
    return t;
}

}  // namespace collector
