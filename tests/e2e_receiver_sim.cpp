// End-to-end tests of the receiver simulator: run tools/receiver_sim and
// talk to it on its pseudo-terminal as a reader of the receiver would
// (raw mode, commands written, acknowledgements and logs read back).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "gnssFunctions.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::TempDir;

namespace {

double monotonic() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Bitwise CRC-32 (reflected 0xEDB88320, initial and final XOR all ones).
uint32_t crc32(const std::string& text) {
    uint32_t crc = 0xFFFFFFFFU;
    for (unsigned char c : text) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    return ~crc;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string piece;
    for (char c : text) {
        if (c == sep) {
            if (!piece.empty()) out.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) out.push_back(piece);
    return out;
}

std::vector<std::string> lines(const std::string& text) { return split(text, '\n'); }

// A framed log found in the stream: "#" content "*" crc "\r\n".
struct Log {
    std::string name;  // without '#'
    std::string content;
    std::string crc;
    size_t start = 0, end = 0;  // offsets in the stream ('#' and after "\r\n")
    double arrival = 0;         // monotonic time of the read that completed it
    long arrivalClock = 0;      // wall clock at that read
    std::vector<std::string> header() const {
        return split(content.substr(0, content.find(';')), ',');
    }
    std::vector<std::string> body() const {
        return split(content.substr(content.find(';') + 1), ',');
    }
    long emissionTime() const {  // header fields 5 and 6 as a clock time
        std::vector<std::string> h = header();
        return std::atol(h.at(5).c_str()) * 604800L + std::atol(h.at(6).c_str()) + 315964800L;
    }
};

// The simulator as a child process plus our end of its terminal.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), testsupport::binDir() + "/receiver_sim");
        child_.reset(new ChildProcess(args, env));
        if (!child_->waitForOutput("\n", 5000ms)) return;
        std::string out = child_->output();
        size_t at = out.find("PTY ");
        if (at == std::string::npos) return;
        path_ = out.substr(at + 4, out.find('\n', at) - at - 4);
        fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        struct termios tio;
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Sim() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    ChildProcess& child() { return *child_; }
    const std::string& stream() const { return stream_; }
    const std::vector<Log>& logs() const { return logs_; }

    void send(const std::string& text) {
        ASSERT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Reads until `done` holds or the timeout passes; true if it held.
    bool readUntil(const std::function<bool()>& done, double seconds) {
        double deadline = monotonic() + seconds;
        while (!done()) {
            double left = deadline - monotonic();
            if (left <= 0) return false;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min(left, 0.05) * 1000) + 1) <= 0) continue;
            char buffer[4096];
            ssize_t n = read(fd_, buffer, sizeof(buffer));
            if (n <= 0) continue;
            ++reads_;
            stream_.append(buffer, n);
            scan();
        }
        return true;
    }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (size_t at = stream_.find(text); at != std::string::npos;
             at = stream_.find(text, at + 1))
            ++n;
        return n;
    }
    size_t countLogs(const std::string& name) const {
        size_t n = 0;
        for (const Log& l : logs_) n += l.name == name;
        return n;
    }
    int reads() const { return reads_; }

  private:
    // Finds the complete logs of the stream; garbage and truncated logs
    // (a '#' followed by another '#' before any '*') are skipped.
    void scan() {
        for (;;) {
            size_t star = stream_.find('*', scanned_);
            if (star == std::string::npos || stream_.size() < star + 11) return;
            size_t hash = stream_.rfind('#', star);
            if (hash != std::string::npos && hash >= scanned_) {
                Log l;
                l.content = stream_.substr(hash + 1, star - hash - 1);
                l.name = l.content.substr(0, l.content.find(','));
                l.crc = stream_.substr(star + 1, 8);
                l.start = hash;
                l.end = star + 11;
                l.arrival = monotonic();
                l.arrivalClock = static_cast<long>(time(nullptr));
                EXPECT_EQ(stream_.substr(star + 9, 2), "\r\n") << l.name;
                logs_.push_back(l);
            }
            scanned_ = star + 11;
        }
    }

    std::unique_ptr<ChildProcess> child_;
    std::string path_;
    int fd_ = -1;
    std::string stream_;
    size_t scanned_ = 0;
    std::vector<Log> logs_;
    int reads_ = 0;
};

// Rows a correct daemon stores from a byte stream: logs are cut at '*'
// (everything since the previous '*'), named by the first of "#BESTPOSA",
// "#SATVISA", "#SATXYZ2A" found in the text, and joined as the station
// does it.
std::vector<std::string> referenceRows(const std::string& stream) {
    std::vector<std::string> rows;
    bool havePos = false, haveXyz = false;
    double pos[6] = {0, 0, 0, 0, 0, 0};
    std::vector<std::pair<int, double>> xyz;
    for (const std::string& text : split("x" + stream, '*')) {
        std::string head = text.substr(0, text.find(';'));
        std::vector<std::string> h = split(head, ',');
        std::vector<std::string> b =
            split(text.substr(std::min(text.size(), head.size() + 1)), ',');
        if (h.size() < 7) continue;
        std::string when = GpsTime2DateTime(std::atoi(h[5].c_str()), std::strtod(h[6].c_str(), 0));
        if (text.find("#BESTPOSA") != std::string::npos) {
            int fields[6] = {2, 3, 4, 7, 8, 9};
            for (int i = 0; i < 6; ++i) pos[i] = std::strtod(b.at(fields[i]).c_str(), nullptr);
            havePos = true;
        } else if (text.find("#SATVISA") != std::string::npos) {
            for (size_t k = 3; k + 3 < b.size(); k += 7) {
                int prn = std::atoi(b[k].c_str());
                double el = std::fabs(std::strtod(b[k + 3].c_str(), nullptr));
                const std::pair<int, double>* found = nullptr;
                for (const auto& s : xyz)
                    if (s.first == prn && found == nullptr) found = &s;
                if (!havePos || !haveXyz || found == nullptr || el < 30.0) continue;
                char row[300];
                snprintf(row, sizeof(row), "%s|%.12f|%.12f|%.5f|%.5f|%.5f|%.5f|%d|%.5f|%.2f",
                         when.c_str(), pos[0], pos[1], pos[2], pos[3], pos[4], pos[5], prn, el,
                         found->second);
                rows.push_back(row);
            }
        } else if (text.find("#SATXYZ2A") != std::string::npos) {
            xyz.clear();
            for (size_t k = 2; k + 6 < b.size(); k += 10) {
                std::string id = b[k];
                size_t sign = id.find_first_of("+-");
                int prn = sign == std::string::npos ? std::atoi(id.c_str())
                                                    : std::atoi(id.substr(0, sign).c_str()) + 37;
                xyz.push_back({prn, std::strtod(b[k + 6].c_str(), nullptr)});
            }
            haveXyz = true;
        }
    }
    return rows;
}

// Satellite numbers of a #SATXYZ2A log as the visibility log names them.
std::vector<int> xyzNumbers(const Log& log) {
    std::vector<int> out;
    std::vector<std::string> b = log.body();
    for (size_t k = 2; k < b.size(); k += 10) {
        size_t sign = b[k].find_first_of("+-");
        out.push_back(sign == std::string::npos ? std::atoi(b[k].c_str())
                                                : std::atoi(b[k].substr(0, sign).c_str()) + 37);
    }
    return out;
}

const char* kLogCommands =
    "log bestposa ontime 60\r\nlog satxyz2a ontime 60\r\nlog satvisa ontime 60\r\n";

TEST(ReceiverSim, AcknowledgesCommandsRecordsThemAndSendsTheVersionLog) {
    TempDir dir("rsim");
    std::string link = dir.file("gps0");
    symlink("/nonexistent", link.c_str());  // an old link is replaced
    Sim sim({"--link", link, "--commands", dir.file("cmds.txt")});
    ASSERT_TRUE(sim.ok()) << sim.child().output();

    char target[256] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(std::string(target), sim.path());

    sim.send("log versiona once\r\nunlogall true\r\n");
    sim.send(kLogCommands);
    sim.send("unlogall true\nfly to the moon\r\n");
    ASSERT_TRUE(sim.readUntil([&] { return sim.count("\r\n<ERROR") == 1; }, 5.0)) << sim.stream();
    EXPECT_EQ(sim.count("<OK\r\n"), 6u);
    EXPECT_EQ(sim.stream().compare(0, 6, "<OK\r\n#"), 0) << sim.stream();

    ASSERT_EQ(sim.logs().size(), 1u);
    const Log& version = sim.logs()[0];
    EXPECT_EQ(version.name, "VERSIONA");
    EXPECT_EQ(version.crc, [&] {
        char hex[9];
        snprintf(hex, sizeof(hex), "%08x", crc32(version.content));
        return std::string(hex);
    }());
    EXPECT_GE(version.header().size(), 7u);
    EXPECT_GE(version.body().size(), 2u);
    EXPECT_NEAR(version.emissionTime(), time(nullptr), 5);

    std::vector<std::string> cmds = lines(testsupport::readFile(dir.file("cmds.txt")));
    std::vector<std::string> want = {"log versiona once",      "unlogall true",
                                     "log bestposa ontime 60", "log satxyz2a ontime 60",
                                     "log satvisa ontime 60",  "unlogall true",
                                     "fly to the moon"};
    EXPECT_EQ(cmds, want);

    sim.child().signal(SIGTERM);
    EXPECT_EQ(sim.child().wait(5000ms), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlives the simulator";
}

TEST(ReceiverSim, EmitsThePacedLogsInOrderWithTheirRowsAndStopsOnUnlogall) {
    TempDir dir("rsim");
    Sim sim({"--interval-seconds", "2", "--expected-rows", dir.file("rows.txt"), "--seed", "7"});
    ASSERT_TRUE(sim.ok()) << sim.child().output();
    sim.send(kLogCommands);
    ASSERT_TRUE(sim.readUntil([&] { return sim.countLogs("SATVISA") >= 2; }, 20.0))
        << sim.child().output();
    sim.send("unlogall true\r\n");
    ASSERT_TRUE(sim.readUntil([&] { return sim.count("<OK\r\n") == 4; }, 5.0));
    size_t afterAck = sim.stream().size();
    sim.readUntil([] { return false; }, 3.0);  // at least one more boundary passes
    EXPECT_EQ(sim.stream().find('#', afterAck), std::string::npos) << "logs after unlogall";

    const std::vector<Log>& logs = sim.logs();
    const char* order[3] = {"BESTPOSA", "SATXYZ2A", "SATVISA"};
    ASSERT_GE(logs.size(), 6u);
    for (size_t i = 0; i < logs.size(); ++i) {
        const Log& l = logs[i];
        EXPECT_EQ(l.name, order[i % 3]) << i;
        char hex[9];
        snprintf(hex, sizeof(hex), "%08x", crc32(l.content));
        EXPECT_EQ(l.crc, hex) << l.name;
        std::vector<std::string> h = l.header();
        ASSERT_GE(h.size(), 7u);
        EXPECT_EQ(h[6].substr(h[6].size() - 4), ".000");
        long when = l.emissionTime();
        EXPECT_EQ(when % 2, 0) << h[6];
        EXPECT_GE(l.arrivalClock, when);
        EXPECT_LE(l.arrivalClock, when + 6);
        EXPECT_EQ(when, logs[i - i % 3].emissionTime()) << "one time stamp per emission";
        if (l.name == "BESTPOSA") {
            ASSERT_GE(l.body().size(), 10u);
        }
    }
    // Pacing: an emission of L bytes takes at least about L / 960 seconds.
    const Log& first = logs[0];
    const Log& third = logs[2];
    double bytes = static_cast<double>(third.end - first.end);
    EXPECT_GE(third.arrival - first.arrival, (bytes - 30) / 960.0 - 0.05);

    // Twelve satellites, some of them GLONASS, all kept by default.
    const Log& xyz = logs[1];
    const Log& vis = logs[2];
    EXPECT_EQ(xyz.body()[0], "12");
    EXPECT_EQ(xyz.body().size(), 121u);
    EXPECT_EQ(vis.body()[2], "12");
    EXPECT_EQ(vis.body().size(), 3u + 12 * 7);
    EXPECT_NE(xyz.content.find("GLONASS"), std::string::npos);
    for (size_t k = 3; k < vis.body().size(); k += 7) {
        double el = std::strtod(vis.body()[k + 3].c_str(), nullptr);
        EXPECT_GE(el, 30.0);
        EXPECT_LE(el, 90.0);
    }
    sim.child().signal(SIGTERM);
    EXPECT_EQ(sim.child().wait(5000ms), 0);

    std::vector<std::string> rows = lines(testsupport::readFile(dir.file("rows.txt")));
    EXPECT_EQ(rows.size(), 12 * sim.countLogs("SATVISA"));
    for (const std::string& row : rows) {
        std::vector<std::string> f = split(row, '|');
        ASSERT_EQ(f.size(), 10u) << row;
        EXPECT_EQ(f[0].size(), 19u);
        EXPECT_EQ(f[1].size() - f[1].find('.'), 13u) << row;
        EXPECT_EQ(f[8].size() - f[8].find('.'), 6u) << row;
        EXPECT_EQ(f[9].size() - f[9].find('.'), 3u) << row;
        double td = std::atof(f[9].c_str());
        EXPECT_TRUE(td >= 2.0 && td <= 25.0) << row;
    }
    EXPECT_EQ(rows, referenceRows(sim.stream()));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].substr(0, 19), GpsTime2DateTime(std::atoi(vis.header()[5].c_str()),
                                                      std::atof(vis.header()[6].c_str())));
}

TEST(ReceiverSim, ScenariosKeepTheRowsOfTheGoodLogs) {
    TempDir dir("rsim");
    Sim sim({"--interval-seconds", "2", "--expected-rows", dir.file("rows.txt"), "--baud", "38400",
             "--scenario", "low,negative,exact30,missing,garbage,split"});
    ASSERT_TRUE(sim.ok()) << sim.child().output();
    sim.send(kLogCommands);
    ASSERT_TRUE(sim.readUntil([&] { return sim.countLogs("SATVISA") >= 2; }, 20.0));
    sim.send("unlogall true\r\n");
    ASSERT_TRUE(sim.readUntil([&] { return sim.count("<OK\r\n") == 4; }, 5.0));

    const Log* vis = nullptr;
    const Log* xyz = nullptr;
    for (const Log& l : sim.logs()) {
        if (l.name == "SATXYZ2A") xyz = &l;
        if (l.name == "SATVISA" && xyz != nullptr && vis == nullptr) vis = &l;
    }
    ASSERT_TRUE(vis != nullptr && xyz != nullptr);
    int low = 0, deep = 0, shallow = 0, exact = 0, unlisted = 0;
    std::vector<std::string> b = vis->body();
    for (size_t k = 3; k + 3 < b.size(); k += 7) {
        double el = std::strtod(b[k + 3].c_str(), nullptr);
        low += el >= 0 && el < 30;
        deep += el <= -30;
        shallow += el < 0 && el > -30;
        exact += el == 30.0;
        std::vector<int> listed = xyzNumbers(*xyz);
        unlisted +=
            std::find(listed.begin(), listed.end(), std::atoi(b[k].c_str())) == listed.end();
    }
    EXPECT_GE(low, 1);
    EXPECT_GE(deep, 1);
    EXPECT_GE(shallow, 1);
    EXPECT_EQ(exact, 1);
    EXPECT_GE(unlisted, 1);
    // Truncated logs stand between the good ones, and logs arrive in pieces.
    EXPECT_GT(sim.count("#"), sim.logs().size());
    EXPECT_GT(sim.reads(), 20);

    sim.child().signal(SIGTERM);
    EXPECT_EQ(sim.child().wait(5000ms), 0);
    std::vector<std::string> rows = lines(testsupport::readFile(dir.file("rows.txt")));
    EXPECT_EQ(rows, referenceRows(sim.stream()));
    EXPECT_FALSE(rows.empty());
    bool at30 = false;
    for (const std::string& r : rows) at30 |= split(r, '|')[8] == "30.00000";
    EXPECT_TRUE(at30);
}

TEST(ReceiverSim, EmitsAtTheWholeMinuteOfAShiftedClock) {
    if (testsupport::faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime missing";
    long offset = testsupport::offsetToSecondOfMinute(57);
    Sim sim({}, testsupport::faketimeEnv(offset));
    ASSERT_TRUE(sim.ok()) << sim.child().output();
    sim.send(kLogCommands);
    ASSERT_TRUE(sim.readUntil([&] { return sim.countLogs("SATVISA") >= 1; }, 12.0))
        << sim.child().output();
    const Log& l = sim.logs().back();
    long when = l.emissionTime();
    EXPECT_EQ(when % 60, 0);
    EXPECT_NEAR(static_cast<double>(when), static_cast<double>(time(nullptr) + offset), 8.0);
}

}  // namespace
