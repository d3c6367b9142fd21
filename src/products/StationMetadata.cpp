#include "products/StationMetadata.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

struct Key {
    const char* file;  // key in the station file
    const char* name;  // field name in the export
    bool number;       // a decimal number
    double lo, hi;     // its range, both included
};

const Key kKeys[] = {
    {"id", "station_id", false, 0, 0},
    {"domes", "domes_number", false, 0, 0},
    {"receiver", "receiver_type", false, 0, 0},
    {"antenna", "antenna_type", false, 0, 0},
    {"latitude", "station_latitude_deg", true, -90, 90},
    {"longitude", "station_longitude_deg", true, -180, 360},
    {"ellipsoidal_height", "ellipsoidal_height_m", true, -1000, 10000},
    {"sea_level_height", "height_above_sea_level_m", true, -1000, 10000},
    {"geoid_model", "geoid_model", false, 0, 0},
    {"barometer_height", "barometer_height_above_antenna_m", true, -1000, 1000},
    {"weather_source", "weather_source", false, 0, 0},
};

std::string trim(const std::string& s) {
    const auto a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

bool readNumber(const std::string& text, double lo, double hi) {
    if (text.empty() || text.find_first_not_of("+-.0123456789eE") != std::string::npos)
        return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(v) && v >= lo && v <= hi;
}

}  // namespace

std::string StationMetadata::value(const std::string& exportName) const {
    for (const auto& [name, v] : fields)
        if (name == exportName) return v;
    return "";
}

std::string stationMetadataFile() {
    const char* env = std::getenv("ULMET_STATION_CONFIG");
    if (env != nullptr && *env != '\0') return env;
    struct stat st {};
    if (stat("/etc/ulmet/station.conf", &st) == 0) return "/etc/ulmet/station.conf";
    return "";
}

std::string parseStationMetadata(std::istream& in, StationMetadata* out) {
    out->fields.clear();
    for (const Key& k : kKeys) out->fields.emplace_back(k.name, "");
    std::vector<bool> seen(sizeof(kKeys) / sizeof(kKeys[0]), false);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string at = "line " + std::to_string(number) + ": ";
        const std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        for (char c : line)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r') || c == 0x7f)
                return at + "a control character";
        const auto eq = text.find('=');
        if (eq == std::string::npos) return at + "not 'key = value'";
        const std::string key = trim(text.substr(0, eq)), value = trim(text.substr(eq + 1));
        size_t i = 0;
        while (i < seen.size() && key != kKeys[i].file) ++i;
        if (i == seen.size()) return at + "unknown key '" + key + "'";
        if (seen[i]) return at + "key '" + key + "' given twice";
        seen[i] = true;
        if (kKeys[i].number && !value.empty() && !readNumber(value, kKeys[i].lo, kKeys[i].hi)) {
            char range[64];
            std::snprintf(range, sizeof(range), "%g to %g", kKeys[i].lo, kKeys[i].hi);
            return at + key + " is a number from " + range + ", not '" + value + "'";
        }
        out->fields[i].second = value;
    }
    // The geoid's height above the ellipsoid at the station, when both
    // heights are given: what links them.
    const std::string h = out->value("ellipsoidal_height_m"),
                      H = out->value("height_above_sea_level_m");
    std::string undulation;
    if (!h.empty() && !H.empty()) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.3f",
                      std::strtod(h.c_str(), nullptr) - std::strtod(H.c_str(), nullptr));
        undulation = text;
    }
    out->fields.emplace_back("geoid_undulation_m", undulation);
    return "";
}

std::string loadStationMetadata(StationMetadata* out) {
    out->file = stationMetadataFile();
    if (out->file.empty()) {
        std::istringstream none;
        return parseStationMetadata(none, out);
    }
    std::ifstream in(out->file);
    if (!in) {
        std::istringstream none;
        parseStationMetadata(none, out);
        return out->file + ": cannot be read";
    }
    const std::string problem = parseStationMetadata(in, out);
    if (problem.empty()) return "";
    // Nothing of a file with a fault is used.
    std::istringstream none;
    parseStationMetadata(none, out);
    return out->file + ": " + problem;
}
