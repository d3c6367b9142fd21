// Weather-sensor sentences of NMEA 0183: $--MDA (meteorological
// composite) and $--XDR (transducer measurements), checked and converted
// to hPa, degrees Celsius and percent relative humidity.
//
// A sentence is used only when its two checksum digits arrived and match
// the XOR of the characters between '$' and '*'. Bounds of a possible
// reading (anything outside is refused as impossible):
//   pressure 300 to 1100 hPa, temperature -90 to +60 degrees Celsius,
//   relative humidity 0 to 100 percent.
//
// What enters which quantity:
// - temperature: MDA's air temperature; XDR temperature transducers
//   ("C") except those whose name says they measure something other than
//   the air (notAirTemperature below: wind chill, heat index, water, dew
//   point, the instrument's inside or heater, the ground).
// - pressure: station pressure only, the pressure at the barometer, which
//   the zenith hydrostatic delay needs. XDR pressure transducers ("P")
//   are station pressure unless their name says the value was reduced
//   (reducedPressureName below: QNH, QFF, sea level); reduced ones are not
//   used. MDA's barometric pressure does not say which it is: it is kept
//   apart (WeatherSample::unnamedPressure) and the daemon's MdaPressure
//   choice decides.
// - humidity: MDA's relative humidity; XDR humidity transducers ("H") in
//   percent.
#ifndef ULMET_NMEAWEATHER_H
#define ULMET_NMEAWEATHER_H

#include <string>
#include <vector>

struct WeatherSample {
    bool hasPressure = false, hasTemperature = false, hasHumidity = false;
    double pressure = 0.0;     // hPa, station pressure
    double temperature = 0.0;  // degrees Celsius, air
    double humidity = 0.0;     // percent
    // A pressure whose sentence does not say whether it is station pressure
    // or reduced to sea level (MDA's barometric pressure), hPa.
    bool hasUnnamedPressure = false;
    double unnamedPressure = 0.0;
    bool empty() const {
        return !hasPressure && !hasTemperature && !hasHumidity && !hasUnnamedPressure;
    }
};

// True for the name of an XDR temperature transducer that does not measure
// the air temperature: wind chill (WCHR, WCHT, ...CHILL...), heat index
// (HINX, ...HEAT..., which also covers heater temperatures), water or sea,
// dew point (...DEW..., DWPT), the instrument's inside (...INSIDE...,
// ...INTERNAL...), the ground (...SOIL..., ...GROUND..., ...ROAD...).
// Case is ignored.
bool notAirTemperature(const std::string& name);
// True for the name of an XDR pressure transducer whose value is reduced
// to sea level or to another reference: QNH, QFF, MSL..., SLP,
// ...SEA..., ...REDUC.... Case is ignored.
bool reducedPressureName(const std::string& name);

// What MDA's barometric pressure is taken to be.
enum class MdaPressure {
    Auto,      // station pressure unless the sensor sends a named station pressure
    Station,   // station pressure: stored (and averaged with XDR station pressure)
    SeaLevel,  // reduced to sea level: never stored
};
// "auto", "station", "sea-level"; false for another text.
bool parseMdaPressure(const std::string& text, MdaPressure* out);
const char* mdaPressureName(MdaPressure choice);

enum class NmeaStatus {
    Ok,           // a sample with at least one quantity
    Ignored,      // a valid sentence of another type, or one without weather values
    BadChecksum,  // checksum digits present but wrong
    Cut,          // no '$', no '*', fewer than two checksum digits, too few fields
    Malformed,    // a field that is not a number or an unknown unit letter
    Impossible,   // a value outside the bounds above
};

const char* nmeaStatusName(NmeaStatus status);

struct NmeaResult {
    NmeaStatus status = NmeaStatus::Cut;
    WeatherSample sample;
    std::string reason;  // for the refused ones: what was wrong
};

// XOR of the characters of `body` (the text between '$' and '*').
unsigned nmeaChecksum(const std::string& body);

// Parses one sentence (line end already removed; trailing blanks ignored).
NmeaResult parseNmeaSentence(const std::string& line);

// Bounds check: true when every quantity the sample carries is possible.
bool plausibleSample(const WeatherSample& sample, std::string* reason);
// Removes each quantity outside its bounds from `sample`, keeping the
// others; appends one text per removed value to `reasons` (if given) and
// returns how many were removed.
int dropImpossible(WeatherSample* sample, std::vector<std::string>* reasons);

// Cuts sentences out of a byte stream: a line ends at CR or LF; a '$'
// inside a line starts a new sentence and the text before it is handed
// over as it is (so it is reported as cut). Lines are bounded (NMEA allows
// 82 characters; 256 are kept, the rest is marked cut).
class NmeaLineReader {
  public:
    // Adds bytes; calls `sink(line)` for every completed line.
    template <typename Sink>
    void feed(const char* data, std::size_t size, Sink&& sink) {
        for (std::size_t i = 0; i < size; ++i) {
            char c = data[i];
            if (c == '\r' || c == '\n' || (c == '$' && !line_.empty())) {
                if (!line_.empty()) sink(line_);
                line_.clear();
                if (c != '$') continue;
            }
            if (line_.size() < kLongest) line_ += c;
        }
    }
    // The unfinished line, if any (a sentence cut by the end of the stream).
    const std::string& pending() const { return line_; }

  private:
    static constexpr std::size_t kLongest = 256;
    std::string line_;
};

#endif
