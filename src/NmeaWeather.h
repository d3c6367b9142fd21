// Weather-sensor sentences of NMEA 0183: $--MDA (meteorological
// composite) and $--XDR (transducer measurements), checked and converted
// to hPa, degrees Celsius and percent relative humidity.
//
// A sentence is used only when its two checksum digits arrived and match
// the XOR of the characters between '$' and '*'. Bounds of a possible
// reading (anything outside is refused as impossible):
//   pressure 300 to 1100 hPa, temperature -90 to +60 degrees Celsius,
//   relative humidity 0 to 100 percent.
#ifndef ULMET_NMEAWEATHER_H
#define ULMET_NMEAWEATHER_H

#include <string>

struct WeatherSample {
    bool hasPressure = false, hasTemperature = false, hasHumidity = false;
    double pressure = 0.0;     // hPa
    double temperature = 0.0;  // degrees Celsius
    double humidity = 0.0;     // percent
    bool empty() const { return !hasPressure && !hasTemperature && !hasHumidity; }
};

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
