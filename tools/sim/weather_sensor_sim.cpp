// weather_sensor_sim: a weather sensor on a pseudo-terminal, for tests and
// the demo. It opens a pty pair, prints "PTY <terminal path>" and emits
// NMEA 0183 sentences ($WIMDA or $WIXDR) with pressure, temperature and
// relative humidity.
//
//   weather_sensor_sim [--link PATH] [--format mda|xdr] [--interval-ms N]
//                      [--seed N] [--noise SIGMA] [--cut-every N]
//                      [--bad-checksum-every N] [--stdin | --input PATH]
//                      [--record FILE]
//
// Without --stdin it sends one sentence every --interval-ms (default 1000)
// around 1013 hPa, 15 C and 60 % with a slow drift, plus Gaussian noise of
// SIGMA (default 0.2) in each quantity. --cut-every N sends every Nth
// sentence without its second half; --bad-checksum-every N every Nth with a
// wrong checksum; neither counts as a sample sent. With --stdin each line
// "P T RH" read from standard input is sent as one sentence of exactly
// those values ("cut" or "bad" as a fourth word spoils it); --input reads
// such lines from PATH (a file or a FIFO) instead. --record
// appends every sample sent whole ("P T RH", hPa, C, %) to FILE.
// Ends on SIGINT, SIGTERM or the end of standard input (--stdin).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <sstream>
#include <string>

#include "weather/NmeaWeather.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

struct Options {
    std::string link;
    bool xdr = false;
    long intervalMs = 1000;
    unsigned seed = 1;
    double noise = 0.2;
    long cutEvery = 0;
    long badEvery = 0;
    bool fromStdin = false;
    std::string input;
    std::string record;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "weather_sensor_sim: %s\nusage: weather_sensor_sim [--link PATH] [--format "
                 "mda|xdr] [--interval-ms N] [--seed N] [--noise SIGMA] [--cut-every N] "
                 "[--bad-checksum-every N] [--stdin | --input PATH] [--record FILE]\n",
                 why);
    std::exit(2);
}

long whole(const char* text) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0) usage("not a count");
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--link" && more) {
            o.link = argv[++i];
        } else if (a == "--format" && more) {
            std::string f = argv[++i];
            if (f != "mda" && f != "xdr") usage("format is mda or xdr");
            o.xdr = f == "xdr";
        } else if (a == "--interval-ms" && more) {
            o.intervalMs = whole(argv[++i]);
            if (o.intervalMs == 0) usage("interval 0");
        } else if (a == "--seed" && more) {
            o.seed = static_cast<unsigned>(whole(argv[++i]));
        } else if (a == "--noise" && more) {
            o.noise = std::atof(argv[++i]);
        } else if (a == "--cut-every" && more) {
            o.cutEvery = whole(argv[++i]);
        } else if (a == "--bad-checksum-every" && more) {
            o.badEvery = whole(argv[++i]);
        } else if (a == "--stdin") {
            o.fromStdin = true;
        } else if (a == "--input" && more) {
            o.fromStdin = true;
            o.input = argv[++i];
        } else if (a == "--record" && more) {
            o.record = argv[++i];
        } else {
            usage(("unknown or incomplete option " + a).c_str());
        }
    }
    return o;
}

std::string sentence(bool xdr, double P, double T, double RH) {
    char body[160];
    if (xdr)
        std::snprintf(body, sizeof body,
                      "WIXDR,P,%.5f,B,Barometer,C,%.2f,C,TempAir,H,%.2f,P,Humidity", P / 1000.0, T,
                      RH);
    else
        std::snprintf(body, sizeof body, "WIMDA,%.4f,I,%.5f,B,%.2f,C,,C,%.2f,,,C,,T,,M,,N,,M",
                      P / 33.8638866667, P / 1000.0, T, RH);
    char sum[8];
    std::snprintf(sum, sizeof sum, "*%02X", nmeaChecksum(body));
    return std::string("$") + body + sum + "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[256];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        std::perror("weather_sensor_sim: pseudo-terminal");
        return 1;
    }
    // The terminal side stays open here, so the pair survives a reader
    // that closes and reopens it.
    int terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio {};
    if (terminal >= 0 && tcgetattr(terminal, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B4800);
        cfsetospeed(&tio, B4800);
        tcsetattr(terminal, TCSANOW, &tio);
    }
    if (!o.link.empty()) {
        unlink(o.link.c_str());
        if (symlink(name, o.link.c_str()) != 0) std::perror("weather_sensor_sim: --link");
    }
    std::printf("PTY %s\n", name);
    std::fflush(stdout);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGPIPE, SIG_IGN);

    std::mt19937 random(o.seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    FILE* record = o.record.empty() ? nullptr : std::fopen(o.record.c_str(), "a");
    long count = 0;
    auto send = [&](double P, double T, double RH, bool cut, bool bad) {
        std::string s = sentence(o.xdr, P, T, RH);
        if (bad) s[s.size() - 3] = s[s.size() - 3] == '0' ? '1' : '0';
        if (cut) s = s.substr(0, s.size() / 2);  // the rest of the line never arrives
        if (write(master, s.data(), s.size()) < 0) std::perror("weather_sensor_sim: write");
        if (record != nullptr && !cut && !bad) {
            std::fprintf(record, "%.2f %.2f %.2f\n", P, T, RH);
            std::fflush(record);
        }
    };
    if (o.fromStdin) {
        FILE* source = o.input.empty() ? stdin : std::fopen(o.input.c_str(), "r");
        if (source == nullptr) {
            std::perror("weather_sensor_sim: --input");
            return 1;
        }
        char line[256];
        while (!stopRequested && std::fgets(line, sizeof line, source) != nullptr) {
            std::istringstream in(line);
            double P = 0, T = 0, RH = 0;
            std::string spoil;
            if (!(in >> P >> T >> RH)) continue;
            in >> spoil;
            send(P, T, RH, spoil == "cut", spoil == "bad");
        }
        if (source != stdin) std::fclose(source);
    } else {
        while (!stopRequested) {
            ++count;
            double minutes = static_cast<double>(std::time(nullptr)) / 60.0;
            double P = 1013.0 + 2.0 * std::sin(minutes / 97.0) + o.noise * gauss(random);
            double T = 15.0 + 3.0 * std::sin(minutes / 231.0) + o.noise * gauss(random);
            double RH = 60.0 + 10.0 * std::sin(minutes / 173.0) + o.noise * gauss(random);
            send(P, T, RH, o.cutEvery > 0 && count % o.cutEvery == 0,
                 o.badEvery > 0 && count % o.badEvery == 0);
            poll(nullptr, 0, static_cast<int>(o.intervalMs));
        }
    }
    if (record != nullptr) std::fclose(record);
    if (!o.link.empty()) unlink(o.link.c_str());
    if (terminal >= 0) close(terminal);
    close(master);
    return 0;
}
