// End-to-end test of the receiver simulator: run tools/receiver_sim and
// talk to it through its link as a reader of the receiver would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <sstream>

#include "TestSupport.h"
#include "gnssFunctions.h"
#include "serial.h"

using namespace std::chrono;
using namespace testsupport;

TEST(ReceiverSim, AcknowledgesRecordsCommandsAndEmitsLogsUntilUnlogall) {
    TempDir dir("rsim");
    ChildProcess sim({binDir() + "/receiver_sim", "--link", dir.file("gps0"), "--commands",
                      dir.file("cmds.txt"), "--interval-seconds", "2"});
    ASSERT_TRUE(sim.waitForOutput("PTY ", seconds(5))) << sim.output();
    serial::Serial port(dir.file("gps0"), 9600, serial::Timeout::simpleTimeout(50));
    std::string stream;
    auto readUntil = [&](const std::string& part, size_t needed, int secs) {
        for (auto end = steady_clock::now() + seconds(secs);
             count(stream, part) < needed && steady_clock::now() < end;)
            stream += port.read(4096);
    };
    const std::string rest = "unlogall true\nfly to the moon\n";
    long start = time(nullptr);
    ASSERT_EQ(port.write(kSetUpCommands), kSetUpCommands.size());
    readUntil("#SATVISA", 2, 20);
    ASSERT_EQ(port.write(rest), rest.size());
    readUntil("<ERROR: unknown command\r\n", 1, 5);
    size_t logs = count(stream, "#");
    readUntil("#", logs + 1, 3);  // at least one more emission time passes
    EXPECT_EQ(count(stream, "#"), logs) << "logs after unlogall";
    EXPECT_EQ(count(stream, "<OK\r\n"), 6u) << stream;

    // VERSIONA, then BESTPOSA, SATXYZ2A, SATVISA stamped with their emission time.
    const char* names[4] = {"VERSIONA", "BESTPOSA", "SATXYZ2A", "SATVISA"};
    long n = 0, first = 0;
    for (size_t hash = 0; (hash = stream.find('#', hash)) != std::string::npos; ++hash, ++n) {
        size_t star = stream.find('*', hash);
        std::string content = stream.substr(hash + 1, star - hash - 1), h[7];
        EXPECT_EQ(std::stoul(stream.substr(star + 1, 8), nullptr, 16), logChecksum(content))
            << content;
        std::istringstream header(content);
        for (std::string& field : h) std::getline(header, field, ',');
        EXPECT_EQ(h[0], names[n == 0 ? 0 : 1 + (n - 1) % 3]) << content;
        long when = std::stol(h[5]) * 604800L + std::stol(h[6]) + 315964800L;
        if (n % 3 == 1) first = when;  // one time stamp per emission, on the interval
        EXPECT_TRUE(when >= start - 1 && when <= time(nullptr) &&
                    (n == 0 || (when == first && when % 2 == 0)))
            << content;
    }
    EXPECT_GE(n, 7);
    EXPECT_EQ(readFile(dir.file("cmds.txt")), kSetUpCommands + rest);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(seconds(5)), 0);
    struct stat st;
    EXPECT_NE(lstat(dir.file("gps0").c_str(), &st), 0) << "the link outlives the simulator";
}
