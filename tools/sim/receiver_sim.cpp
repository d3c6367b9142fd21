// receiver_sim: a GNSS receiver on a pseudo-terminal, for tests and the demo.
//
// It opens a pty pair, prints "PTY <terminal path>", answers the receiver
// commands that the acquisition daemon sends ("<OK" acknowledgements, a
// #VERSIONA log) and, once the position, satellite-positions and visibility
// logs are switched on, emits #BESTPOSA, #SATXYZ2A and #SATVISA at every
// whole minute of the wall clock (or every --interval-seconds), paced like a
// serial line of --baud bits per second. The content is deterministic from
// --seed and the emission time; --expected-rows lists the rows that a
// correct daemon stores from what was sent.
//
//   receiver_sim [--link PATH] [--commands FILE] [--expected-rows FILE]
//                [--seed N] [--satellites N] [--scenario NAME[,NAME...]]
//                [--baud N] [--interval-seconds N]
//                [--corrupt LOG:N[,LOG:N...]] [--drop LOG:N[,LOG:N...]] [--hostile]
//                [--no-replies] [--refuse TEXT] [--power-cycle N:S]
//
// Scenarios: low, negative, exact30, missing, garbage, split.
// Faults, LOG being bestposa, satxyz2a or satvisa and N counting that log's
// emissions from 1: --corrupt changes one digit of a value that the daemon
// reads (the latitude, the first delay, the first elevation) after the
// checksum was computed; --drop leaves the log out. The expected rows are
// those of a daemon that uses no corrupted log and joins a visibility log
// only with the satellite-positions log of its own time.
// --hostile: a receiver that lies with correct checksums. After the clean
// logs of each emission come a position of latitude 1e100, satellite logs
// of delay and elevation 1e100, a visibility log of 300 satellites, the
// satellite logs again for every second up to the next emission (distinct
// rows, as many as a minute can take and more), and a log with escape
// sequences and a wrong checksum; the "<OK" replies carry escape sequences.
// None of it changes the expected rows.
//
// Receiver faults: --no-replies carries commands out but never answers
// them; --refuse answers "<ERROR" to every command that begins with TEXT
// (lower case, e.g. "log satvisa") and does not carry it out;
// --power-cycle switches the receiver off after its N-th emission for S
// seconds (nothing sent, commands unheard), after which it is back with
// every log off, as a receiver without a saved configuration.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/LogFramer.h"
#include "gnssFunctions.h"
#include "list_ports_linux.h"

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr long kGpsEpoch = 315964800;  // 1980-01-06 00:00:00 UTC
constexpr long kWeekSeconds = 604800;

// ---------------------------------------------------------------- helpers

using serial::detail::format;  // printf-style formatting into a text

// A number as the log prints it, together with the value a reader gets
// back from that text: expected rows are computed from the latter so that
// they match what a parser of the log sees, digit for digit.
struct Num {
    std::string text;
    double value{};
};
Num num(const char* fmt, double v) {
    Num n;
    n.text = format(fmt, v);
    n.value = std::strtod(n.text.c_str(), nullptr);
    return n;
}

double monotonicNow() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// splitmix64: small, fast and good enough for reproducible test content.
class Rng {
  public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() {
        return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
    }  // [0, 1)
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    int intRange(int lo, int hi) {  // inclusive
        return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
    }

  private:
    uint64_t state_;
};

uint64_t mix(uint64_t a, uint64_t b) {
    Rng r(a * 0xD1B54A32D192ED03ULL ^ (b + 0x8CB92BA72F3D8DD7ULL));
    return r.next();
}

// ---------------------------------------------------------------- options

struct Options {
    std::string link;
    std::string commandsFile;
    std::string expectedFile;
    uint64_t seed = 1;
    int satellites = 12;
    bool low = false, negative = false, exact30 = false, missing = false, garbage = false,
         split = false;
    long baud = 9600;
    long interval = 60;
    bool hostile = false;
    // Emission numbers (from 1) of each log to corrupt or to leave out;
    // index 0 BESTPOSA, 1 SATXYZ2A, 2 SATVISA.
    std::vector<long> corrupt[3], drop[3];
    bool noReplies = false;
    std::string refuse;
    long powerCycleAfter = 0, powerOffSeconds = 0;
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(
        stderr,
        "receiver_sim: %s\nusage: receiver_sim [--link PATH] [--commands FILE] "
        "[--expected-rows FILE] [--seed N] [--satellites N] [--scenario "
        "NAME[,NAME...]] [--baud N] [--interval-seconds N] [--corrupt LOG:N[,...]] "
        "[--drop LOG:N[,...]] [--hostile] [--no-replies] [--refuse TEXT] [--power-cycle N:S]\n",
        message);
    std::exit(2);
}

bool parseLong(const std::string& text, long lo, long hi, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

const char* const kLogOptionNames[3] = {"bestposa", "satxyz2a", "satvisa"};

// "LOG:N[,LOG:N...]" into the emission lists of the three logs.
bool parseFaults(const std::string& text, std::vector<long> (&lists)[3]) {
    for (const std::string& item : splitData(",", text)) {
        std::string::size_type colon = item.find(':');
        if (colon == std::string::npos) return false;
        long n = 0;
        if (!parseLong(item.substr(colon + 1), 1, 1000000, &n)) return false;
        int log = -1;
        for (int i = 0; i < 3; ++i)
            if (item.compare(0, colon, kLogOptionNames[i]) == 0) log = i;
        if (log < 0) return false;
        lists[log].push_back(n);
    }
    return true;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--no-replies") {  // the only option without a value
            o.noReplies = true;
            continue;
        }
        std::string value;
        if (arg == "--hostile") {
            o.hostile = true;
            continue;
        }
        std::string::size_type eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (arg.compare(0, 2, "--") == 0) {
            if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
            value = argv[++i];
        } else {
            usage(("unexpected argument " + arg).c_str());
        }
        long n = 0;
        if (arg == "--link") {
            o.link = value;
        } else if (arg == "--commands") {
            o.commandsFile = value;
        } else if (arg == "--expected-rows") {
            o.expectedFile = value;
        } else if (arg == "--seed") {
            char* end = nullptr;
            errno = 0;
            unsigned long long s = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || errno != 0 || *end != '\0') usage("bad --seed");
            o.seed = s;
        } else if (arg == "--satellites") {
            // At most 32 GPS and 24 GLONASS satellites exist.
            if (!parseLong(value, 1, 56, &n)) usage("--satellites must be 1 to 56");
            o.satellites = static_cast<int>(n);
        } else if (arg == "--baud") {
            if (!parseLong(value, 50, 10000000, &n)) usage("bad --baud");
            o.baud = n;
        } else if (arg == "--interval-seconds") {
            if (!parseLong(value, 1, 86400, &n)) usage("bad --interval-seconds");
            o.interval = n;
        } else if (arg == "--corrupt") {
            if (!parseFaults(value, o.corrupt))
                usage("bad --corrupt (LOG:N, LOG one of bestposa, satxyz2a, satvisa)");
        } else if (arg == "--drop") {
            if (!parseFaults(value, o.drop))
                usage("bad --drop (LOG:N, LOG one of bestposa, satxyz2a, satvisa)");
        } else if (arg == "--refuse") {
            o.refuse = value;
        } else if (arg == "--power-cycle") {
            std::string::size_type colon = value.find(':');
            if (colon == std::string::npos ||
                !parseLong(value.substr(0, colon), 1, 1000000, &o.powerCycleAfter) ||
                !parseLong(value.substr(colon + 1), 1, 86400, &o.powerOffSeconds))
                usage("bad --power-cycle (N:S)");
        } else if (arg == "--scenario") {
            std::vector<std::string> names = splitData(",", value);
            for (const std::string& s : names) {
                if (s == "low")
                    o.low = true;
                else if (s == "negative")
                    o.negative = true;
                else if (s == "exact30")
                    o.exact30 = true;
                else if (s == "missing")
                    o.missing = true;
                else if (s == "garbage")
                    o.garbage = true;
                else if (s == "split")
                    o.split = true;
                else if (s != "none")
                    usage(("unknown scenario " + s).c_str());
            }
        } else {
            usage(("unknown option " + arg).c_str());
        }
    }
    return o;
}

// ---------------------------------------------------------------- the sky

// How a satellite's elevation behaves; the scenarios turn some satellites
// from Normal into one of the others.
enum class Role { Normal, Low, NegativeDeep, NegativeShallow, Exact30, Missing };

struct Satellite {
    bool glonass = false;
    int number = 0;   // GPS PRN, or GLONASS slot
    int channel = 0;  // GLONASS frequency channel
    Role role = Role::Normal;
    double phase = 0, rate = 0;  // elevation oscillation
    double azimuth0 = 0, azimuthRate = 0;
    double clockBias = 0, clockDrift = 0, ionoScale = 0, dopplerScale = 0;
    int visNumber() const { return glonass ? number + 37 : number; }
    std::string identifier() const {
        return glonass ? format("%d%c%d", number, channel < 0 ? '-' : '+', std::abs(channel))
                       : format("%d", number);
    }
    // Elevation in degrees at `minutes` (minutes since the epoch of the
    // clock): slow, smooth, and kept inside the band of the role so that
    // every scenario holds at every minute.
    double elevation(double minutes) const {
        double u = 0.5 + 0.5 * std::sin(rate * minutes + phase);
        switch (role) {
            case Role::Normal:
            case Role::Missing:
                return 35.0 + 50.0 * u;
            case Role::Low:
                return 3.0 + 24.0 * u;
            case Role::NegativeDeep:
                return -(35.0 + 40.0 * u);
            case Role::NegativeShallow:
                return -(3.0 + 24.0 * u);
            case Role::Exact30:
                return 30.0;
        }
        return 45.0;
    }
    double azimuth(double minutes) const {
        double a = std::fmod(azimuth0 + azimuthRate * minutes, 360.0);
        return a < 0 ? a + 360.0 : a;
    }
};

struct Station {
    double latitude, longitude, height, undulation;
};

class Sky {
  public:
    Sky(const Options& o) : seed_(o.seed) {
        Rng r(mix(o.seed, 0x5C1E5C1E));
        station_.latitude = r.range(36.0, 54.0);
        station_.longitude = r.range(-8.0, 28.0);
        station_.height = r.range(80.0, 650.0);
        station_.undulation = r.range(35.0, 52.0);

        int glonassCount = o.satellites / 3;
        int gpsCount = o.satellites - glonassCount;
        if (gpsCount > 32) {
            gpsCount = 32;
            glonassCount = o.satellites - 32;
        }
        std::vector<int> prns;
        for (int i = 1; i <= 32; ++i) prns.push_back(i);
        shuffle(prns, r);
        prns.resize(gpsCount);
        std::sort(prns.begin(), prns.end());
        std::vector<int> slots;
        for (int i = 1; i <= 24; ++i) slots.push_back(i);
        shuffle(slots, r);
        slots.resize(glonassCount);
        std::sort(slots.begin(), slots.end());

        for (int prn : prns) sats_.push_back(make(false, prn, r));
        for (int slot : slots) sats_.push_back(make(true, slot, r));

        // Scenario roles, given to satellites picked at random.
        std::vector<Role> roles;
        if (o.missing) roles.push_back(Role::Missing);
        if (o.exact30) roles.push_back(Role::Exact30);
        if (o.low) {
            roles.push_back(Role::Low);
            roles.push_back(Role::Low);
        }
        if (o.negative) {
            roles.push_back(Role::NegativeDeep);
            roles.push_back(Role::NegativeShallow);
        }
        std::vector<size_t> order;
        for (size_t i = 0; i < sats_.size(); ++i) order.push_back(i);
        shuffle(order, r);
        for (size_t i = 0; i < roles.size() && i < order.size(); ++i)
            sats_[order[i]].role = roles[i];
    }

    const Station& station() const { return station_; }
    const std::vector<Satellite>& satellites() const { return sats_; }
    uint64_t seed() const { return seed_; }

  private:
    template <typename T>
    static void shuffle(std::vector<T>& v, Rng& r) {
        for (size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[r.next() % i]);
    }
    static Satellite make(bool glonass, int number, Rng& r) {
        Satellite s;
        s.glonass = glonass;
        s.number = number;
        s.channel = glonass ? r.intRange(-7, 6) : 0;
        s.phase = r.range(0.0, 2 * kPi);
        s.rate = 2 * kPi / r.range(300.0, 700.0);  // at most ~0.26 degree per minute
        s.azimuth0 = r.range(0.0, 360.0);
        s.azimuthRate = r.range(-0.25, 0.25);
        s.clockBias = r.range(-180000.0, 180000.0);
        s.clockDrift = r.range(-0.8, 0.8);  // metres per second
        s.ionoScale = r.range(0.8, 3.5);
        s.dopplerScale = r.range(1500.0, 4200.0);
        return s;
    }

    uint64_t seed_;
    Station station_{};
    std::vector<Satellite> sats_;
};

// ---------------------------------------------------------------- logs

struct SatDelay {
    int number;  // as the daemon looks it up (GLONASS slot + 37)
    double td;   // tropospheric delay as read back from the log text
};
struct SatElevation {
    int number;
    double elevation;  // as read back from the log text
};
struct Position {
    double v[6];  // latitude, longitude, height and their three errors
};

// One emission: the texts of the three logs and what a reader parses
// back from them.
struct Emission {
    long time = 0;  // whole second of the clock
    int week = 0;
    double seconds = 0;
    std::string dateTime;
    std::string bestpos, satxyz2, satvis;  // framed logs
    Position position{};
    std::vector<SatDelay> delays;
    std::vector<SatElevation> elevations;
};

std::string header(const char* name, int week, const std::string& seconds, Rng& r) {
    // Port, sequence, idle time, time status, week, seconds, receiver
    // status, reserved, software build.
    return format("%s,PORT1,0,%.1f,FINECLOCK,%d,%s,00000000,%04x,4821", name, r.range(40.0, 92.0),
                  week, seconds.c_str(), r.intRange(0, 0xffff));
}

Emission makeEmission(const Sky& sky, long clock) {
    Emission e;
    e.time = clock;
    long sinceEpoch = clock - kGpsEpoch;
    e.week = static_cast<int>(sinceEpoch / kWeekSeconds);
    e.seconds = std::strtod(format("%.3f", double(sinceEpoch % kWeekSeconds)).c_str(), nullptr);
    std::string secondsText = format("%.3f", double(sinceEpoch % kWeekSeconds));
    e.dateTime = GpsTime2DateTime(e.week, e.seconds);
    double minutes = static_cast<double>(clock) / 60.0;
    Rng r(mix(sky.seed(), static_cast<uint64_t>(clock)));

    // Position: a single-point solution wandering a metre or two.
    const Station& st = sky.station();
    Num lat = num("%.11f", st.latitude + r.range(-1.5e-5, 1.5e-5));
    Num lon = num("%.11f", st.longitude + r.range(-2.0e-5, 2.0e-5));
    Num hgt = num("%.4f", st.height + r.range(-3.0, 3.0));
    Num latErr = num("%.4f", r.range(0.6, 2.2));
    Num lonErr = num("%.4f", r.range(0.5, 1.9));
    Num hgtErr = num("%.4f", r.range(1.2, 4.5));
    int nSats = static_cast<int>(sky.satellites().size());
    std::string body = format("SOLVED,SINGLE,%s,%s,%s,%.4f,WGS84,%s,%s,%s,\"0\",0.000,0.000,",
                              lat.text.c_str(), lon.text.c_str(), hgt.text.c_str(), st.undulation,
                              latErr.text.c_str(), lonErr.text.c_str(), hgtErr.text.c_str());
    body += format("%d,%d,%d,%d,00,06,00,33", nSats, nSats, nSats, nSats);
    e.bestpos = frameLog(header("BESTPOSA", e.week, secondsText, r) + ";" + body);
    double posValues[6] = {lat.value,    lon.value,    hgt.value,
                           latErr.value, lonErr.value, hgtErr.value};
    std::copy(posValues, posValues + 6, e.position.v);

    // Station in ECEF (WGS84), for the satellite coordinates.
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    double phi = st.latitude * kDeg, lam = st.longitude * kDeg;
    double nRad = a / std::sqrt(1 - e2 * std::sin(phi) * std::sin(phi));
    double sx = (nRad + st.height) * std::cos(phi) * std::cos(lam);
    double sy = (nRad + st.height) * std::cos(phi) * std::sin(lam);
    double sz = (nRad * (1 - e2) + st.height) * std::sin(phi);
    double rStation = std::sqrt(sx * sx + sy * sy + sz * sz);

    // Satellite positions: GLONASS first, then GPS (the visibility log
    // lists them the other way round), every satellite but a Missing one.
    std::vector<const Satellite*> xyzOrder;
    for (const Satellite& s : sky.satellites())
        if (s.glonass && s.role != Role::Missing) xyzOrder.push_back(&s);
    for (const Satellite& s : sky.satellites())
        if (!s.glonass && s.role != Role::Missing) xyzOrder.push_back(&s);
    // Zenith delay drifting slowly with the weather, 2.2 to 2.5 m.
    double zenith = 2.35 + 0.12 * std::sin(minutes / 240.0 + static_cast<double>(sky.seed() % 7));
    body = format("%zu", xyzOrder.size());
    for (const Satellite* s : xyzOrder) {
        double el = s->elevation(minutes) * kDeg, az = s->azimuth(minutes) * kDeg;
        double orbit = s->glonass ? 25510000.0 : 26560000.0;
        double range = -rStation * std::sin(el) +
                       std::sqrt(orbit * orbit - rStation * rStation * std::cos(el) * std::cos(el));
        double east = std::cos(el) * std::sin(az), north = std::cos(el) * std::cos(az),
               up = std::sin(el);
        double dx = -std::sin(lam) * east - std::sin(phi) * std::cos(lam) * north +
                    std::cos(phi) * std::cos(lam) * up;
        double dy = std::cos(lam) * east - std::sin(phi) * std::sin(lam) * north +
                    std::cos(phi) * std::sin(lam) * up;
        double dz = std::cos(phi) * north + std::sin(phi) * up;
        double absEl = std::max(std::fabs(el), 5.0 * kDeg);
        // Zenith delay of about 2.3 m mapped to the elevation (2 to 25 m).
        double mapping = 1.0 / (std::sin(absEl) + 0.00143 / (std::tan(absEl) + 0.0445));
        double tropo = std::min(25.0, std::max(2.0, (zenith + r.range(-0.004, 0.004)) * mapping));
        double obliquity = 1.0 / std::sqrt(1.0 - std::pow(0.94 * std::cos(absEl), 2));
        double iono = s->ionoScale * obliquity;
        Num td = num("%.3f", tropo);
        body += format(",%s,%s,%.3f,%.3f,%.3f,%.3f,%.3f,%s,0,0", s->glonass ? "GLONASS" : "GPS",
                       s->identifier().c_str(), sx + range * dx, sy + range * dy, sz + range * dz,
                       s->clockBias + s->clockDrift * static_cast<double>(clock % 86400), iono,
                       td.text.c_str());
        e.delays.push_back({s->visNumber(), td.value});
    }
    e.satxyz2 = frameLog(header("SATXYZ2A", e.week, secondsText, r) + ";" + body);

    // Visibility: GPS then GLONASS, in number order.
    body = format("TRUE,TRUE,%d", nSats);
    double clockDoppler = r.range(-300.0, 300.0);
    for (const Satellite& s : sky.satellites()) {
        Num el = num("%.3f", s.elevation(minutes));
        double doppler = s.dopplerScale * std::cos(s.rate * minutes + s.phase);
        body += format(",%d,%d,0,%s,%.3f,%.3f,%.3f", s.visNumber(), s.channel, el.text.c_str(),
                       s.azimuth(minutes), doppler, doppler + clockDoppler);
        e.elevations.push_back({s.visNumber(), el.value});
    }
    e.satvis = frameLog(header("SATVISA", e.week, secondsText, r) + ";" + body);
    return e;
}

// Garbage in front of a good log, for the `garbage` scenario. The daemon
// collects everything since the last '*' and parses it as the log named
// first in the order #BESTPOSA, #SATVISA, #SATXYZ2A; the text in front of
// the good log's name ends up in the header's leading fields. So the
// garbage must leave the good log's parse unchanged:
//  - no '*' (it would close a log), no ';' (it would end the header), no
//    NUL byte (texts end there), no '#', and no control characters;
//  - noise has no ',' either: it sits in header field 0, which is unread;
//  - the truncated log is a header cut after the ',' that ends its field 6
//    and before its ';', carrying the good log's own week and seconds:
//    its fields 5 and 6 then become those of the merged header, and the
//    good log's own header fields move past field 6, where nothing is read;
//  - the truncated log's name must not win the name search over the good
//    log: in front of #BESTPOSA any name, in front of #SATVISA a
//    #SATXYZ2A or #SATVISA, in front of #SATXYZ2A only #SATXYZ2A.
std::string garbageBefore(const std::string& goodName, const Emission& e, Rng& r) {
    std::string noise;
    int n = r.intRange(12, 48);
    while (static_cast<int>(noise.size()) < n) {
        int c = r.intRange(0x20, 0xfe);
        if (c == '*' || c == ';' || c == ',' || c == '#' || c == 0x7f || (c >= 0x80 && c < 0xa0))
            continue;
        noise += static_cast<char>(c);
    }
    const char* name = "SATXYZ2A";
    if (goodName == "BESTPOSA") name = r.intRange(0, 1) ? "SATVISA" : "SATXYZ2A";
    if (goodName == "SATVISA" && r.intRange(0, 1)) name = "SATVISA";
    std::string truncated = "#" + header(name, e.week, format("%.3f", e.seconds), r);
    // Cut somewhere after the comma that closes field 6.
    size_t afterSeconds = 0;
    for (int commas = 0; afterSeconds < truncated.size() && commas < 7; ++afterSeconds)
        if (truncated[afterSeconds] == ',') ++commas;
    size_t cut = afterSeconds + r.next() % (truncated.size() - afterSeconds + 1);
    return noise + "\r\n" + truncated.substr(0, cut);
}

// The log with the last digit of its data field `field` changed; the
// checksum after "*" stays that of the original text.
std::string corruptDigit(const std::string& log, int field) {
    std::string out = log;
    size_t at = out.find(';') + 1;
    for (int f = 0; f < field; ++f) at = out.find(',', at) + 1;
    for (size_t i = out.find_first_of(",*", at); i > at; --i) {
        char& c = out[i - 1];
        if (c >= '0' && c <= '9') {
            c = c == '9' ? '0' : static_cast<char>(c + 1);
            break;
        }
    }
    return out;
}

// The framed log with body fields first, first + stride, ... (just `first`
// when stride is 0) set to `value`, framed again with a correct checksum.
std::string withFields(const std::string& log, size_t first, size_t stride,
                       const std::string& value) {
    std::string content = log.substr(1, log.rfind('*') - 1);
    size_t body = content.find(';') + 1;
    std::vector<std::string> fields;
    for (size_t at = body;;) {
        size_t comma = content.find(',', at);
        fields.push_back(content.substr(at, comma == std::string::npos ? comma : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    for (size_t f = first; f < fields.size(); f += stride) {
        fields[f] = value;
        if (stride == 0) break;
    }
    std::string out = content.substr(0, body);
    for (size_t f = 0; f < fields.size(); ++f) out += (f ? "," : "") + fields[f];
    return frameLog(out);
}

std::string versionLog(Rng& r) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    long since = ts.tv_sec - kGpsEpoch;
    std::string seconds =
        format("%ld.%03ld", since % kWeekSeconds, static_cast<long>(ts.tv_nsec / 1000000));
    std::string head =
        format("VERSIONA,PORT1,0,%.1f,UNKNOWN,%ld,%s,00000000,%04x,4821", r.range(40.0, 92.0),
               since / kWeekSeconds, seconds.c_str(), r.intRange(0, 0xffff));
    return frameLog(
        head +
        ";1,GNSSBOARD,\"R7LQNNTBN\",\"ULQ20113548T\",\"ULR-300-2.11\",\"ULB030211RN0000\","
        "\"ULB010400RB0000\",\"2019/Oct/17\",\"09:41:52\"");
}

// ---------------------------------------------------------------- the line

struct OutItem {
    std::string name;  // log name, or "" for command replies
    std::string data;
    size_t offset = 0;
    std::vector<std::pair<size_t, double>> pauses;  // (offset, seconds) for `split`
    size_t nextPause = 0;
    std::function<void()> done;
};

class Simulator {
  public:
    explicit Simulator(const Options& o) : opt_(o), sky_(o), rng_(mix(o.seed, 0xC0FFEE)) {
        rate_ = static_cast<double>(o.baud) / 10.0;
    }
    int run();

  private:
    bool openPty();
    void handleInput();
    void handleCommand(const std::string& line);
    void reply(const std::string& text);
    void schedule(long slot);
    void pump();
    void dropLogs(const std::string& name);
    void finishedSatvis(const Emission& e);
    size_t unreadBytes() const;

    Options opt_;
    Sky sky_;
    Rng rng_;
    double rate_;
    int master_ = -1;
    int slave_ = -1;
    std::string ptyPath_;
    FILE* commands_ = nullptr;
    FILE* expected_ = nullptr;
    bool on_[3] = {false, false, false};  // BESTPOSA, SATXYZ2A, SATVISA
    std::string input_;
    std::deque<OutItem> replies_;
    std::deque<OutItem> logs_;
    OutItem current_;
    bool busy_ = false;
    double paceOrigin_ = 0;
    double paceBytes_ = 0;
    double holdUntil_ = 0;
    double lastProgress_ = 0;
    // What a daemon holds after the logs sent so far: the newest position
    // and the newest satellite-positions record. Forgotten at "unlogall",
    // which the daemon sends when it starts and when it stops.
    bool havePosition_ = false;
    Position position_{};
    bool haveDelays_ = false;
    long delaysTime_ = 0;  // emission time of the newest satellite positions
    std::vector<SatDelay> delays_;
    long emitted_[3] = {0, 0, 0};  // emissions of each log so far
    long slots_ = 0;               // emissions scheduled so far
    double offUntil_ = 0;          // power cycle: off until this monotonic time
    bool poweredOff_ = false;
};

bool Simulator::openPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        std::perror("receiver_sim: posix_openpt");
        return false;
    }
    char name[256];
    if (ptsname_r(master_, name, sizeof(name)) != 0) {
        std::perror("receiver_sim: ptsname_r");
        return false;
    }
    ptyPath_ = name;
    // Keep the terminal side open ourselves, so the pair survives a reader
    // that closes and reopens it.
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        std::perror("receiver_sim: open terminal side");
        return false;
    }
    struct termios tio {};
    if (tcgetattr(slave_, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(slave_, TCSANOW, &tio);
    }
    int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    return true;
}

size_t Simulator::unreadBytes() const {
    int n = 0;
    if (ioctl(slave_, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

void Simulator::reply(const std::string& text) {
    if (opt_.noReplies) return;
    OutItem item;
    item.data = text;
    if (opt_.hostile && text.compare(0, 3, "<OK") == 0)
        item.data = "<OK\x1b[2J\x1b]0;owned\x07\r\n";
    replies_.push_back(std::move(item));
}

void Simulator::dropLogs(const std::string& name) {
    size_t before = logs_.size();
    logs_.erase(std::remove_if(logs_.begin(), logs_.end(),
                               [&](const OutItem& i) { return name.empty() || i.name == name; }),
                logs_.end());
    if (before != logs_.size()) {
        std::printf("dropped %zu queued log(s)\n", before - logs_.size());
        std::fflush(stdout);
    }
}

void Simulator::handleCommand(const std::string& line) {
    if (commands_ != nullptr) {
        std::fprintf(commands_, "%s\n", line.c_str());
        std::fflush(commands_);
    }
    std::printf("command: %s\n", line.c_str());
    std::fflush(stdout);

    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!opt_.refuse.empty() && lower.compare(0, opt_.refuse.size(), opt_.refuse) == 0) {
        reply("<ERROR: command refused\r\n");
        return;
    }
    std::vector<std::string> w = splitData(" \t", lower);
    static const char* names[3] = {"bestposa", "satxyz2a", "satvisa"};
    auto logIndex = [&](const std::string& n) {
        for (int i = 0; i < 3; ++i)
            if (n == names[i]) return i;
        return -1;
    };
    static const char* logNames[3] = {"BESTPOSA", "SATXYZ2A", "SATVISA"};

    if (w.size() >= 1 && w[0] == "unlogall" &&
        (w.size() == 1 || (w.size() == 2 && (w[1] == "true" || w[1] == "false")))) {
        for (bool& b : on_) b = false;
        dropLogs("");
        havePosition_ = false;
        haveDelays_ = false;
        delays_.clear();
        reply("<OK\r\n");
    } else if (w.size() == 2 && w[0] == "unlog" && logIndex(w[1]) >= 0) {
        on_[logIndex(w[1])] = false;
        dropLogs(logNames[logIndex(w[1])]);
        reply("<OK\r\n");
    } else if (w.size() == 3 && w[0] == "log" && w[1] == "versiona" && w[2] == "once") {
        reply("<OK\r\n");
        reply(versionLog(rng_));
    } else if (w.size() >= 2 && w[0] == "log" && logIndex(w[1]) >= 0) {
        long period = 0;
        if (w.size() == 4 && w[2] == "ontime" && parseLong(w[3], 1, 3600, &period)) {
            // The period is accepted but the emission follows the clock's
            // whole minutes (or --interval-seconds).
            on_[logIndex(w[1])] = true;
            reply("<OK\r\n");
        } else {
            reply("<ERROR: invalid trigger\r\n");
        }
    } else {
        reply("<ERROR: unknown command\r\n");
    }
}

void Simulator::handleInput() {
    char buffer[1024];
    for (;;) {
        ssize_t n = read(master_, buffer, sizeof(buffer));
        if (n <= 0) return;         // EAGAIN, or EIO while no reader has the terminal open
        if (poweredOff_) continue;  // nobody hears it
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c == '\r' || c == '\n') {
                if (!input_.empty()) handleCommand(input_);
                input_.clear();
            } else if (input_.size() < 512) {
                input_ += c;
            }
        }
    }
}

void Simulator::finishedSatvis(const Emission& e) {
    if (expected_ == nullptr) return;
    if (havePosition_ && haveDelays_ && delaysTime_ == e.time) {
        const double* p = position_.v;
        for (const SatElevation& s : e.elevations) {
            double el = std::fabs(s.elevation);
            if (el < 30.0) continue;
            auto it = std::find_if(delays_.begin(), delays_.end(),
                                   [&](const SatDelay& d) { return d.number == s.number; });
            if (it == delays_.end()) continue;
            std::fprintf(expected_, "%s|%.12f|%.12f|%.5f|%.5f|%.5f|%.5f|%d|%.5f|%.2f\n",
                         e.dateTime.c_str(), p[0], p[1], p[2], p[3], p[4], p[5], s.number, el,
                         it->td);
        }
    }
    std::fflush(expected_);
}

void Simulator::schedule(long slot) {
    double now = monotonicNow();
    size_t unread = unreadBytes();
    // Bytes that nobody has read for a second are discarded, as on a line
    // that nobody listens to; a late reader then starts with fresh logs.
    if (unread > 0 && now - lastProgress_ >= 1.0) {
        tcflush(slave_, TCIFLUSH);
        std::printf("nobody reads: discarded %zu unread byte(s)\n", unread);
        std::fflush(stdout);
        dropLogs("");
        if (busy_ && !current_.name.empty()) busy_ = false;
    }
    if (!(on_[0] || on_[1] || on_[2])) return;
    if (opt_.powerCycleAfter > 0 && slots_ == opt_.powerCycleAfter && offUntil_ == 0) {
        // Off: what is queued is lost, and the log set-up with it.
        for (bool& b : on_) b = false;
        dropLogs("");
        replies_.clear();
        busy_ = false;
        current_ = OutItem();
        poweredOff_ = true;
        offUntil_ = monotonicNow() + static_cast<double>(opt_.powerOffSeconds);
        std::printf("power cycle: off for %ld s\n", opt_.powerOffSeconds);
        std::fflush(stdout);
        return;
    }
    if (!logs_.empty() || (busy_ && !current_.name.empty())) {
        std::printf("still sending the previous logs: slot %ld skipped\n", slot);
        std::fflush(stdout);
        return;
    }
    ++slots_;
    auto e = std::make_shared<Emission>(makeEmission(sky_, slot));
    Rng r(mix(opt_.seed ^ 0xA5A5, static_cast<uint64_t>(slot)));
    auto add = [&](int log, const char* name, std::string text, std::function<void()> done) {
        long n = ++emitted_[log];
        auto listed = [n](const std::vector<long>& list) {
            return std::find(list.begin(), list.end(), n) != list.end();
        };
        if (listed(opt_.drop[log])) {
            std::printf("fault: %s emission %ld left out\n", name, n);
            return;
        }
        if (listed(opt_.corrupt[log])) {
            // Latitude, first delay, first elevation.
            static const int kField[3] = {2, 8, 6};
            text = corruptDigit(text, kField[log]);
            done = nullptr;  // a correct reader does not use it
            std::printf("fault: %s emission %ld corrupted\n", name, n);
        }
        if (opt_.garbage) {
            OutItem g;
            g.name = name;
            g.data = garbageBefore(name, *e, r);
            logs_.push_back(std::move(g));
        }
        OutItem item;
        item.name = name;
        item.data = text;
        item.done = std::move(done);
        if (opt_.split) {
            for (size_t at = r.intRange(1, 96); at < text.size(); at += r.intRange(1, 96))
                item.pauses.push_back({at, r.range(0.0, 0.06)});
        }
        logs_.push_back(std::move(item));
    };
    std::string what;
    if (on_[0]) {
        add(0, "BESTPOSA", e->bestpos, [this, e] {
            havePosition_ = true;
            position_ = e->position;
        });
        what += " BESTPOSA";
    }
    if (on_[1]) {
        add(1, "SATXYZ2A", e->satxyz2, [this, e] {
            haveDelays_ = true;
            delaysTime_ = e->time;
            delays_ = e->delays;
        });
        what += " SATXYZ2A";
    }
    if (on_[2]) {
        add(2, "SATVISA", e->satvis, [this, e] { finishedSatvis(*e); });
        what += " SATVISA";
    }
    if (opt_.hostile && on_[0] && on_[1] && on_[2]) {
        auto lie = [&](const char* name, std::string text) {
            OutItem item;
            item.name = name;
            item.data = std::move(text);
            logs_.push_back(std::move(item));
        };
        lie("BESTPOSA", withFields(e->bestpos, 2, 0, "1e100"));
        lie("SATXYZ2A", withFields(e->satxyz2, 8, 10, "1e100"));
        lie("SATVISA", withFields(e->satvis, 6, 7, "1e100"));
        lie("SATVISA", withFields(e->satvis, 2, 0, "300"));
        for (long k = 1; k < opt_.interval; ++k) {
            Emission again = makeEmission(sky_, slot + k);
            lie("SATXYZ2A", again.satxyz2);
            lie("SATVISA", again.satvis);
        }
        lie("SATVISA",
            "#SATVISA,\x1b[2J\x1b]2;owned\x07\x9b"
            "31m;TRUE*00000000\r\n");
        what += " and lies";
    }
    std::printf("emit %s (week %d, %.3f):%s\n", e->dateTime.c_str(), e->week, e->seconds,
                what.c_str());
    std::fflush(stdout);
}

// Writes what the line allows now: at most baud/10 bytes per second, and
// never more than a few tens of milliseconds' worth at once.
void Simulator::pump() {
    double now = monotonicNow();
    if (poweredOff_) {
        if (now < offUntil_) return;
        poweredOff_ = false;
        input_.clear();
        std::printf("power back: every log off\n");
        std::fflush(stdout);
    }
    if (now < holdUntil_) return;
    if (!busy_) {
        if (!replies_.empty()) {
            current_ = std::move(replies_.front());
            replies_.pop_front();
        } else if (!logs_.empty()) {
            current_ = std::move(logs_.front());
            logs_.pop_front();
        } else {
            return;
        }
        busy_ = true;
    }
    double cap = std::max(1.0, rate_ * 0.025);
    double credit = (now - paceOrigin_) * rate_ - paceBytes_;
    if (credit > cap) {  // idle or paused: no catching up
        paceOrigin_ = now - cap / rate_;
        paceBytes_ = 0;
        credit = cap;
    }
    while (busy_ && credit >= 1.0) {
        size_t end = current_.data.size();
        if (current_.nextPause < current_.pauses.size())
            end = std::min(end, current_.pauses[current_.nextPause].first);
        size_t want = std::min(end - current_.offset, static_cast<size_t>(credit));
        ssize_t n = want > 0 ? write(master_, current_.data.data() + current_.offset, want) : 0;
        if (n < 0) return;  // EAGAIN (nobody reads, pty full) or EIO: retry later
        current_.offset += static_cast<size_t>(n);
        paceBytes_ += static_cast<double>(n);
        credit -= static_cast<double>(n);
        if (n > 0) lastProgress_ = now;
        if (current_.offset == current_.data.size()) {
            busy_ = false;
            if (current_.done) current_.done();
            current_ = OutItem();
            if (!replies_.empty()) {
                current_ = std::move(replies_.front());
                replies_.pop_front();
                busy_ = true;
            } else if (!logs_.empty()) {
                current_ = std::move(logs_.front());
                logs_.pop_front();
                busy_ = true;
            }
        } else if (current_.nextPause < current_.pauses.size() &&
                   current_.offset == current_.pauses[current_.nextPause].first) {
            holdUntil_ = now + current_.pauses[current_.nextPause].second;
            ++current_.nextPause;
            return;
        } else if (static_cast<size_t>(n) < want) {
            return;  // the pty took less: try again at the next wake-up
        }
    }
}

int Simulator::run() {
    if (!openPty()) return 1;
    if (!opt_.commandsFile.empty()) {
        commands_ = std::fopen(opt_.commandsFile.c_str(), "a");
        if (commands_ == nullptr) {
            std::perror(("receiver_sim: " + opt_.commandsFile).c_str());
            return 1;
        }
    }
    if (!opt_.expectedFile.empty()) {
        expected_ = std::fopen(opt_.expectedFile.c_str(), "a");
        if (expected_ == nullptr) {
            std::perror(("receiver_sim: " + opt_.expectedFile).c_str());
            return 1;
        }
    }
    if (!opt_.link.empty()) {
        struct stat st {};
        if (lstat(opt_.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "receiver_sim: %s exists and is not a symbolic link\n",
                             opt_.link.c_str());
                return 1;
            }
            unlink(opt_.link.c_str());
        }
        if (symlink(ptyPath_.c_str(), opt_.link.c_str()) != 0) {
            std::perror(("receiver_sim: symlink " + opt_.link).c_str());
            return 1;
        }
    }
    std::printf("PTY %s\n", ptyPath_.c_str());
    std::fflush(stdout);

    long last = -1;
    while (!gStop) {
        long now = static_cast<long>(time(nullptr));
        long slot = now - ((now % opt_.interval) + opt_.interval) % opt_.interval;
        if (last < 0) {
            last = slot;  // the first emission waits for the next boundary
        } else if (slot != last) {
            last = slot;
            schedule(slot);
        }
        pump();
        int timeout = 20;
        if (busy_ || !replies_.empty() || !logs_.empty()) {
            double wait = std::max(holdUntil_ - monotonicNow(), 1.0 / rate_);
            timeout = std::max(1, std::min(20, static_cast<int>(std::ceil(wait * 1000.0))));
        }
        struct pollfd pfd = {master_, POLLIN, 0};
        int r = poll(&pfd, 1, timeout);
        if (r > 0 && (pfd.revents & POLLIN)) {
            handleInput();
        } else if (r > 0 && (pfd.revents & (POLLHUP | POLLERR))) {
            usleep(timeout * 1000);  // no reader: nothing to do but wait
        }
    }

    if (!opt_.link.empty()) {
        char target[512];
        ssize_t n = readlink(opt_.link.c_str(), target, sizeof(target) - 1);
        if (n >= 0 && std::string(target, n) == ptyPath_) unlink(opt_.link.c_str());
    }
    if (commands_ != nullptr) std::fclose(commands_);
    if (expected_ != nullptr) std::fclose(expected_);
    close(slave_);
    close(master_);
    std::printf("receiver_sim: stopped\n");
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    struct sigaction sa {};
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Simulator sim(options);
    return sim.run();
}
