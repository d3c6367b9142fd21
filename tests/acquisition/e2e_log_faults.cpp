// Faults on the line and a second daemon, end to end: the real Corvana
// program reads the receiver simulator on a pseudo-terminal and stores into
// a private MariaDB server, under one faked clock. The simulator corrupts or
// leaves out chosen logs and lists the rows that a correct daemon stores;
// the table must hold exactly those rows: none lost, none doubled, no value
// from a corrupted log.
#include <fstream>

#include "Acquisition.h"

using namespace testsupport;

namespace {

struct LogFaults : Acquisition {
    // Waits until the daemon has dealt with `n` visibility logs in all.
    bool visibilityLogs(std::size_t n) {
        auto handled = [&] {
            std::string out = daemon_->output();
            return count(out, "SATVIS_LOG\n") + count(out, "#SATVISA log dropped") >= n;
        };
        return waitFor([&] { return handled() || !daemon_->running(); }, seconds(60)) && handled();
    }
};

// A second daemon comes during the faulty emissions: refused, the first
// undisturbed.
TEST_F(LogFaults, CorruptedLogsStoreEveryCleanRowAndASecondDaemonIsRefused) {
    // A lock file left by a daemon that was killed does not block.
    std::ofstream(dir_.file("corvana.lock")) << "999999\n";
    // Emission 2: a latitude digit changed (the position of emission 1 is
    // used); 3: a delay digit; 4: an elevation digit; 5: no satellite
    // positions at all. Emissions 3 to 5 store nothing.
    // Simulator of 8 satellites on a fast line, an emission every 3 s, on
    // the daemon's clock: the logs go on about 1 s after the minute, so the
    // first emission (second 03) comes after the replies to the set-up.
    ASSERT_NO_FATAL_FAILURE(
        start("none", 3,
              {"--corrupt", "bestposa:2,satxyz2a:3,satvisa:4", "--drop", "satxyz2a:5",
               "--satellites", "8", "--baud", "38400", "--seed", "11"},
              true));
    ASSERT_TRUE(visibilityLogs(1)) << daemon_->output();
    const std::string holder = "another Corvana (PID " + std::to_string(daemon_->pid()) + ") ";
    // In the same directory; then elsewhere, on the same device.
    TempDir elsewhere("ulmet-faults2");
    for (const std::string& cwd : {dir_.path(), elsewhere.path()}) {
        ChildProcess second({binDir() + "/Corvana"}, base_, cwd);
        EXPECT_EQ(second.wait(seconds(20)), 255) << second.output();
        std::string reason = cwd == dir_.path()
                                 ? "holds " + dir_.file("corvana.lock") + "."
                                 : "uses the device " + dir_.file("ttyRECEIVER") + ".";
        EXPECT_EQ(second.output(), "Corvana does not start: " + holder + reason + "\n");
    }
    ASSERT_TRUE(visibilityLogs(6)) << daemon_->output();
    stopDaemon();
    EXPECT_EQ(stored(), expected()) << daemon_->output();  // none lost, doubled or wrong
}

}  // namespace
