#include "weather/NmeaWeather.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

namespace {

constexpr double kHpaPerInHg = 33.8638866667;

std::vector<std::string> fieldsOf(const std::string& body) {
    std::vector<std::string> fields(1);
    for (char c : body) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// An empty field is absent (false, ok); a field that is not a whole finite
// number clears `ok`.
bool number(const std::string& text, double* value, bool* ok) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno != 0 || !std::isfinite(v) ||
        std::isspace(static_cast<unsigned char>(text[0]))) {
        *ok = false;
        return false;
    }
    *value = v;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

NmeaResult refused(NmeaStatus status, std::string reason) {
    NmeaResult r;
    r.status = status;
    r.reason = std::move(reason);
    return r;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

NmeaResult parseMda(const std::vector<std::string>& f) {
    // 1 pressure inHg, 2 I, 3 pressure bar, 4 B, 5 air temperature, 6 C,
    // 7 water temperature, 8 C, 9 relative humidity, 10 absolute humidity,
    // 11 dew point, 12 C, then wind (ignored).
    if (f.size() < 10) return refused(NmeaStatus::Cut, "MDA with fewer than 9 fields");
    NmeaResult r;
    WeatherSample& s = r.sample;
    bool ok = true;
    double v = 0.0;
    if (number(f[3], &v, &ok)) {
        if (f[4] != "B") return refused(NmeaStatus::Malformed, "MDA pressure unit '" + f[4] + "'");
        s.hasUnnamedPressure = true;
        s.unnamedPressure = v * 1000.0;
    } else if (ok && number(f[1], &v, &ok)) {
        if (f[2] != "I") return refused(NmeaStatus::Malformed, "MDA pressure unit '" + f[2] + "'");
        s.hasUnnamedPressure = true;
        s.unnamedPressure = v * kHpaPerInHg;
    }
    if (ok && number(f[5], &v, &ok)) {
        if (f[6] != "C")
            return refused(NmeaStatus::Malformed, "MDA temperature unit '" + f[6] + "'");
        s.hasTemperature = true;
        s.temperature = v;
    }
    if (ok && number(f[9], &v, &ok)) {
        s.hasHumidity = true;
        s.humidity = v;
    }
    if (!ok) return refused(NmeaStatus::Malformed, "MDA field that is not a number");
    r.status = s.empty() ? NmeaStatus::Ignored : NmeaStatus::Ok;
    return r;
}

NmeaResult parseXdr(const std::vector<std::string>& f) {
    // Quadruplets: type, value, unit, name.
    if (f.size() < 5 || (f.size() - 1) % 4 != 0)
        return refused(NmeaStatus::Cut, "XDR whose fields are not whole quadruplets");
    NmeaResult r;
    WeatherSample& s = r.sample;
    for (std::size_t i = 1; i + 3 < f.size(); i += 4) {
        const std::string& type = f[i];
        const std::string& unit = f[i + 2];
        const std::string name = upper(f[i + 3]);
        bool ok = true;
        double v = 0.0;
        if (!number(f[i + 1], &v, &ok)) {
            if (!ok) return refused(NmeaStatus::Malformed, "XDR value '" + f[i + 1] + "'");
            continue;
        }
        if (type == "P") {
            double hPa = 0.0;
            if (unit == "B")
                hPa = v * 1000.0;
            else if (unit == "P")
                hPa = v / 100.0;
            else if (unit == "H")
                hPa = v;
            else if (unit == "I")
                hPa = v * kHpaPerInHg;
            else
                return refused(NmeaStatus::Malformed, "XDR pressure unit '" + unit + "'");
            if (reducedPressureName(name)) continue;  // not the pressure at the barometer
            if (!s.hasPressure) s.pressure = hPa;
            s.hasPressure = true;
        } else if (type == "C") {
            if (notAirTemperature(name)) continue;
            double c = 0.0;
            if (unit == "C")
                c = v;
            else if (unit == "F")
                c = (v - 32.0) * 5.0 / 9.0;
            else if (unit == "K")
                c = v - 273.15;
            else
                return refused(NmeaStatus::Malformed, "XDR temperature unit '" + unit + "'");
            if (!s.hasTemperature) s.temperature = c;
            s.hasTemperature = true;
        } else if (type == "H") {
            if (unit != "P")
                return refused(NmeaStatus::Malformed, "XDR humidity unit '" + unit + "'");
            if (!s.hasHumidity) s.humidity = v;
            s.hasHumidity = true;
        }
    }
    r.status = s.empty() ? NmeaStatus::Ignored : NmeaStatus::Ok;
    return r;
}

bool containsAny(const std::string& upperName, std::initializer_list<const char*> parts) {
    for (const char* part : parts)
        if (upperName.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace

bool notAirTemperature(const std::string& name) {
    const std::string n = upper(name);
    return n == "WCHR" || n == "WCHT" || n == "HINX" || n == "DWPT" ||
           containsAny(n, {"CHILL", "HEAT", "WATER", "SEA", "DEW", "INSIDE", "INTERNAL", "SOIL",
                           "GROUND", "ROAD"});
}

bool reducedPressureName(const std::string& name) {
    const std::string n = upper(name);
    return n == "SLP" || containsAny(n, {"QNH", "QFF", "MSL", "SEA", "REDUC"});
}

bool parseMdaPressure(const std::string& text, MdaPressure* out) {
    if (text == "auto")
        *out = MdaPressure::Auto;
    else if (text == "station")
        *out = MdaPressure::Station;
    else if (text == "sea-level")
        *out = MdaPressure::SeaLevel;
    else
        return false;
    return true;
}

const char* mdaPressureName(MdaPressure choice) {
    switch (choice) {
        case MdaPressure::Auto:
            return "auto";
        case MdaPressure::Station:
            return "station";
        case MdaPressure::SeaLevel:
            return "sea-level";
    }
    return "?";
}

const char* nmeaStatusName(NmeaStatus status) {
    switch (status) {
        case NmeaStatus::Ok:
            return "ok";
        case NmeaStatus::Ignored:
            return "ignored";
        case NmeaStatus::BadChecksum:
            return "bad checksum";
        case NmeaStatus::Cut:
            return "cut";
        case NmeaStatus::Malformed:
            return "malformed";
        case NmeaStatus::Impossible:
            return "impossible";
    }
    return "?";
}

unsigned nmeaChecksum(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    return sum;
}

namespace {

// The quantities of a sample and their bounds, in the order they are checked.
struct Quantity {
    bool WeatherSample::*has;
    double WeatherSample::*value;
    const char* format;
    double low, high;
};
const Quantity kQuantities[] = {
    {&WeatherSample::hasPressure, &WeatherSample::pressure, "pressure %.2f hPa outside 300 to 1100",
     300.0, 1100.0},
    {&WeatherSample::hasUnnamedPressure, &WeatherSample::unnamedPressure,
     "pressure %.2f hPa outside 300 to 1100", 300.0, 1100.0},
    {&WeatherSample::hasTemperature, &WeatherSample::temperature,
     "temperature %.2f C outside -90 to 60", -90.0, 60.0},
    {&WeatherSample::hasHumidity, &WeatherSample::humidity, "humidity %.2f %% outside 0 to 100",
     0.0, 100.0},
};

// True when `s` carries quantity `q` outside its bounds; `reason` gets the text.
bool impossible(const WeatherSample& s, const Quantity& q, std::string* reason) {
    const double v = s.*q.value;
    if (!(s.*q.has) || (v >= q.low && v <= q.high)) return false;
    if (reason != nullptr) {
        char text[96];
        (void)std::snprintf(text, sizeof text, q.format, v);
        *reason = text;
    }
    return true;
}

}  // namespace

bool plausibleSample(const WeatherSample& s, std::string* reason) {
    for (const Quantity& q : kQuantities)
        if (impossible(s, q, reason)) return false;
    return true;
}

int dropImpossible(WeatherSample* s, std::vector<std::string>* reasons) {
    int dropped = 0;
    for (const Quantity& q : kQuantities) {
        std::string why;
        if (!impossible(*s, q, &why)) continue;
        s->*q.has = false;
        ++dropped;
        if (reasons != nullptr) reasons->push_back(why);
    }
    return dropped;
}

NmeaResult parseNmeaSentence(const std::string& input) {
    std::string line = input;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.empty() || line[0] != '$') return refused(NmeaStatus::Cut, "no '$' at the start");
    std::string::size_type star = line.find('*');
    if (star == std::string::npos) return refused(NmeaStatus::Cut, "no checksum");
    if (line.size() != star + 3) return refused(NmeaStatus::Cut, "checksum not two digits");
    int high = hexDigit(line[star + 1]), low = hexDigit(line[star + 2]);
    if (high < 0 || low < 0) return refused(NmeaStatus::Cut, "checksum not two hex digits");
    std::string body = line.substr(1, star - 1);
    if (nmeaChecksum(body) != static_cast<unsigned>(high * 16 + low))
        return refused(NmeaStatus::BadChecksum, "checksum does not match");
    std::vector<std::string> f = fieldsOf(body);
    if (f[0].size() != 5) return refused(NmeaStatus::Ignored, "not a weather sentence");
    std::string type = f[0].substr(2);
    NmeaResult r;
    if (type == "MDA")
        r = parseMda(f);
    else if (type == "XDR")
        r = parseXdr(f);
    else
        return refused(NmeaStatus::Ignored, "not a weather sentence");
    if (r.status == NmeaStatus::Ok && !plausibleSample(r.sample, &r.reason)) {
        r.status = NmeaStatus::Impossible;
        r.sample = WeatherSample();
    }
    return r;
}
