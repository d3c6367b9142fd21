// End-to-end tests of the receiver simulator: run tools/receiver_sim and
// talk to it on its pseudo-terminal as a reader of the receiver would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "gnssFunctions.h"
#include "serial.h"

using namespace std::chrono;
using namespace testsupport;

namespace {

// Pieces of `text` between separators; empty pieces are dropped.
std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string piece; std::getline(in, piece, sep);)
        if (!piece.empty()) out.push_back(piece);
    return out;
}

// Bitwise CRC-32 (reflected 0xEDB88320, all ones in and out) in hex.
std::string crcHex(const std::string& text) {
    uint32_t crc = 0xFFFFFFFFU;
    for (unsigned char c : text) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", ~crc);
    return hex;
}

// A framed log of the stream, "#" content "*" crc "\r\n", with its header
// and body fields and the wall clock when it was read.
struct Log {
    std::string name, content, crc;
    std::vector<std::string> h, b;
    long arrival;
    long emissionTime() const {  // header fields 5 (week) and 6 (seconds)
        return std::atol(h.at(5).c_str()) * 604800L + std::atol(h.at(6).c_str()) + 315964800L;
    }
};

// The simulator (`args` start with its path) as a child process, and its
// terminal opened by the serial port layer.
struct Sim {
    Sim(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
        : child(args, env) {
        if (!child.waitForOutput("\n", seconds(5)) || child.output().rfind("PTY ", 0) != 0) return;
        port.setPort(child.output().substr(4, child.output().find('\n') - 4));
        port.setTimeout(serial::Timeout::simpleTimeout(50));
        port.open();
    }
    void send(const std::string& text) { ASSERT_EQ(port.write(text), text.size()); }
    // Reads until `done` holds (true) or the timeout passes (false).
    bool readUntil(const std::function<bool()>& done, seconds timeout) {
        for (auto deadline = steady_clock::now() + timeout; !done();) {
            if (steady_clock::now() > deadline) return false;
            stream += port.read(4096);
            // Complete logs; a truncated one ('#' then '#' before any '*') is skipped.
            for (size_t star; (star = stream.find('*', scanned)) != std::string::npos &&
                              stream.size() >= star + 11;
                 scanned = star + 11) {
                size_t hash = stream.rfind('#', star);
                if (hash == std::string::npos || hash < scanned) continue;
                std::string content = stream.substr(hash + 1, star - hash - 1);
                size_t semi = content.find(';');
                logs.push_back({content.substr(0, content.find(',')), content,
                                stream.substr(star + 1, 8), split(content.substr(0, semi), ','),
                                split(content.substr(semi + 1), ','), time(nullptr)});
                EXPECT_EQ(stream.substr(star + 9, 2), "\r\n") << content;
            }
        }
        return true;
    }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (size_t at = 0; (at = stream.find(text, at)) != std::string::npos; ++at) ++n;
        return n;
    }
    size_t countLogs(const std::string& name) const {
        return std::count_if(logs.begin(), logs.end(),
                             [&](const Log& l) { return l.name == name; });
    }

    ChildProcess child;
    serial::Serial port;
    std::string stream;
    size_t scanned = 0;
    std::vector<Log> logs;
};

// Rows a correct daemon stores from these logs: a visible satellite gives a
// row once a position and the satellite positions are known, if it is
// listed in the latter and |elevation| >= 30.
std::vector<std::string> referenceRows(const std::vector<Log>& logs) {
    std::vector<std::string> rows, pos;
    std::map<int, double> delay;  // by the visibility log's satellite number
    for (const Log& l : logs) {
        const std::vector<std::string>& b = l.b;
        if (l.name == "BESTPOSA") pos = b;
        if (l.name == "SATXYZ2A") delay.clear();
        for (size_t k = 2; l.name == "SATXYZ2A" && k + 6 < b.size(); k += 10) {
            // GLONASS "slot+channel" or "slot-channel": slot + 37
            bool glonass = b[k].find_first_of("+-") != std::string::npos;
            delay.emplace(std::atoi(b[k].c_str()) + (glonass ? 37 : 0),
                          std::atof(b[k + 6].c_str()));
        }
        for (size_t k = 3; l.name == "SATVISA" && k + 3 < b.size(); k += 7) {
            int prn = std::atoi(b[k].c_str());
            double el = std::fabs(std::atof(b[k + 3].c_str())), p[6];
            if (pos.size() < 10 || delay.count(prn) == 0 || el < 30.0) continue;
            for (int i = 0; i < 6; ++i) p[i] = std::atof(pos[i < 3 ? 2 + i : 4 + i].c_str());
            char row[300];
            snprintf(row, sizeof row, "%s|%.12f|%.12f|%.5f|%.5f|%.5f|%.5f|%d|%.5f|%.2f",
                     GpsTime2DateTime(std::atoi(l.h[5].c_str()), std::atof(l.h[6].c_str())).c_str(),
                     p[0], p[1], p[2], p[3], p[4], p[5], prn, el, delay[prn]);
            rows.push_back(row);
        }
    }
    return rows;
}

const std::vector<std::string> kCommands = {
    "log versiona once",     "unlogall true", "log bestposa ontime 60", "log satxyz2a ontime 60",
    "log satvisa ontime 60", "unlogall true", "fly to the moon"};

}  // namespace

// Default pacing: 9600 baud, whole minutes of a clock shifted to second 57.
TEST(ReceiverSim, AcknowledgesRecordsCommandsAndEmitsAtTheWholeMinute) {
    if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime missing";
    TempDir dir("rsim");
    std::string link = dir.file("gps0");
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);  // an old link is replaced
    long offset = offsetToSecondOfMinute(57);
    Sim sim({binDir() + "/receiver_sim", "--link", link, "--commands", dir.file("cmds.txt")},
            faketimeEnv(offset));
    ASSERT_TRUE(sim.port.isOpen()) << sim.child.output();
    char target[256] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, sim.port.getPort());

    for (size_t i = 0; i < 5; ++i) sim.send(kCommands[i] + "\r\n");
    ASSERT_TRUE(sim.readUntil([&] { return sim.countLogs("SATVISA") == 1; }, seconds(12)))
        << sim.stream;
    sim.send("unlogall true\nfly to the moon\r\n");
    ASSERT_TRUE(sim.readUntil([&] { return sim.count("\r\n<ERROR") == 1; }, seconds(5)))
        << sim.stream;
    EXPECT_EQ(sim.count("<OK\r\n"), 6u);
    EXPECT_EQ(sim.stream.compare(0, 6, "<OK\r\n#"), 0) << sim.stream;
    ASSERT_EQ(sim.logs.size(), 4u);
    const Log& version = sim.logs[0];
    EXPECT_EQ(version.name, "VERSIONA");
    EXPECT_EQ(version.crc, crcHex(version.content));
    EXPECT_NEAR(version.emissionTime(), time(nullptr) + offset, 5);
    EXPECT_EQ(sim.logs[3].emissionTime() % 60, 0);
    EXPECT_NEAR(sim.logs[3].emissionTime(), time(nullptr) + offset, 10);
    EXPECT_EQ(split(readFile(dir.file("cmds.txt")), '\n'), kCommands);

    sim.child.signal(SIGTERM);
    EXPECT_EQ(sim.child.wait(seconds(5)), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlives the simulator";
}

// Every scenario at once: garbage and truncated logs between the good ones,
// logs in pieces, satellites low, below the horizon, at exactly 30 degrees
// and missing from the satellite positions.
TEST(ReceiverSim, EmitsLogsInOrderWithTheirRowsUntilUnlogall) {
    TempDir dir("rsim");
    Sim sim({binDir() + "/receiver_sim", "--interval-seconds", "2", "--expected-rows",
             dir.file("rows.txt"), "--seed", "7", "--baud", "38400", "--scenario",
             "low,negative,exact30,missing,garbage,split"});
    ASSERT_TRUE(sim.port.isOpen()) << sim.child.output();
    for (size_t i = 2; i < 5; ++i) sim.send(kCommands[i] + "\r\n");
    ASSERT_TRUE(sim.readUntil([&] { return sim.countLogs("SATVISA") >= 2; }, seconds(20)))
        << sim.child.output();
    sim.send("unlogall true\r\n");
    ASSERT_TRUE(sim.readUntil([&] { return sim.count("<OK\r\n") == 4; }, seconds(5)));
    size_t afterAck = sim.stream.size();
    sim.readUntil([] { return false; }, seconds(3));  // at least one more boundary passes
    EXPECT_EQ(sim.stream.find('#', afterAck), std::string::npos) << "logs after unlogall";
    sim.child.signal(SIGTERM);
    EXPECT_EQ(sim.child.wait(seconds(5)), 0);

    const std::vector<Log>& logs = sim.logs;
    ASSERT_GE(logs.size(), 6u);
    EXPECT_GT(sim.count("#"), logs.size());  // truncated logs in between
    const char* order[3] = {"BESTPOSA", "SATXYZ2A", "SATVISA"};
    for (size_t i = 0; i < logs.size(); ++i) {
        const Log& l = logs[i];
        EXPECT_EQ(l.name, order[i % 3]) << i;
        EXPECT_EQ(l.crc, crcHex(l.content)) << l.name;
        ASSERT_GE(l.h.size(), 7u);
        EXPECT_EQ(l.h[6].substr(l.h[6].size() - 4), ".000");
        long when = l.emissionTime();
        EXPECT_EQ(when % 2, 0) << l.h[6];
        EXPECT_GE(l.arrival, when);
        EXPECT_LE(l.arrival, when + 10);
        EXPECT_EQ(when, logs[i - i % 3].emissionTime()) << "one time stamp per emission";
    }
    EXPECT_NE(logs[1].content.find("GLONASS"), std::string::npos);

    std::vector<std::string> rows = split(readFile(dir.file("rows.txt")), '\n');
    EXPECT_EQ(rows, referenceRows(logs));
    // Of twelve satellites, two low ones, a shallow negative one and the one
    // missing from the positions give no row; the one at exactly 30 degrees
    // and the deep negative one do.
    EXPECT_EQ(rows.size(), 8 * sim.countLogs("SATVISA"));
}
