// The real Corvana program against the receiver simulator on a
// pseudo-terminal, both under the same faked clock: set-up commands,
// countdown to the whole minute, acquisition and the ways it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

const std::string kBar = "\n==============================";
const std::string kDaqStart = kBar + " DAQ START =======================================\n";
const std::string kDaqStop = kBar + " DAQ STOP =======================================\n";

// Texts expected in this order in `text`; reports the first one missing.
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
        if ((at = text.find(part, at)) == std::string::npos)
            return ::testing::AssertionFailure() << "missing: \"" << part << "\"\n" << text;
        at += part.size();
    }
    return ::testing::AssertionSuccess();
}

class CorvanaSpine : public ::testing::Test {
  protected:
    // The simulator (emitting every 5 s) and the daemon on its link, both on
    // a clock faked to read second `second` of a minute. The daemon reads the
    // offset from a file at every clock call, so that a test can step its
    // wall clock (setClock).
    void start(int second) {
        setClock(offset_ = offsetToSecondOfMinute(second));
        sim_.reset(
            new ChildProcess({binDir() + "/receiver_sim", "--link", dir_.file("tty"), "--commands",
                              dir_.file("commands"), "--interval-seconds", "5"},
                             faketimeEnv(offset_), dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        for (const std::string& entry : faketimeEnv(offset_))
            env_.push_back(entry.rfind("FAKETIME=", 0) ? entry : "FAKETIME_NO_CACHE=1");
        // No database is reachable: rows fail to store, which does not matter here.
        env_.insert(env_.end(), {"FAKETIME_TIMESTAMP_FILE=" + dir_.file("clock"),
                                 "CORVANA_PORT=" + dir_.file("tty"), "TERM=dumb", "TZ=UTC",
                                 "MYSQL_UNIX_PORT=" + dir_.file("no-server.sock")});
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env_, dir_.path()));
    }

    void setClock(long offset) {
        std::ofstream(dir_.file("clock.new")) << (offset >= 0 ? "+" : "") << offset << "\n";
        std::rename(dir_.file("clock.new").c_str(), dir_.file("clock").c_str());
    }

    // Waits until the simulator has received `command`; returns the second
    // of the minute on the faked clock when it was seen (-1 if never).
    double secondOfMinuteWhenReceived(const std::string& command) {
        auto received = [&] { return count(readFile(dir_.file("commands")), command) > 0; };
        if (!waitFor(received, seconds(30), milliseconds(10))) return -1;
        double now = duration<double>(system_clock::now().time_since_epoch()).count();
        return std::fmod(now + static_cast<double>(offset_), 60.0);
    }

    TempDir dir_{"ulmet-spine"};
    long offset_ = 0;
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

}  // namespace

TEST_F(CorvanaSpine, SetUpCountdownAcquisitionAndStopOnInterrupt) {
    ASSERT_NO_FATAL_FAILURE(start(45));
    // The logs go on one whole second after the minute, not before: the
    // countdown sleeps 16 whole seconds from second 45 (15 ticks and the
    // final one).
    double logsOn = secondOfMinuteWhenReceived("log bestposa");
    EXPECT_TRUE(logsOn >= 1.0 && logsOn < 10.0) << logsOn;
    ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(30))) << daemon_->output();
    std::this_thread::sleep_for(milliseconds(1500));  // one emission of the simulator
    // The wall clock goes back 60 s under a read of 250 ms: on the wall
    // clock that read would end a minute later, deaf to the interrupt.
    setClock(offset_ - 60);
    std::this_thread::sleep_for(milliseconds(100));
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait(seconds(10)), 0) << daemon_->output();
    // The countdown follows the set-up at once, from 15 down to 1.
    std::string countdown = "UNLOG Cmd Result: <OK\r\n\n\n";
    for (int n = 15; n >= 1; --n)
        countdown += "Corvana will start in : " + std::to_string(n) + " secs\n";
    EXPECT_TRUE(
        inOrder(daemon_->output(),
                {" GPS Antenna is communicating.\n", "VERSION Cmd Result: <OK\r\n#VERSIONA,",
                 countdown + "Corvana starting... \n", "SATVIS Cmd Result: <OK", kDaqStart,
                 "\nExiting...\n", kDaqStop, "UNLOG Cmd Result: <OK", " Serial Comm CLOSED.\n"}));
    EXPECT_EQ(readFile(dir_.file("commands")), kSetUpCommands + "unlogall true\n");
}

TEST_F(CorvanaSpine, InterruptDuringCountdownStillSwitchesLogsOnThenOff) {
    // A slow "clear" that shows when it runs: the interrupt comes while it
    // runs, and must not be lost.
    std::ofstream(dir_.file("clear")) << "#!/bin/sh\necho CLEARING\nsleep 0.5\n";
    chmod(dir_.file("clear").c_str(), 0755);
    env_.push_back("PATH=" + dir_.path() + ":" + std::getenv("PATH"));
    ASSERT_NO_FATAL_FAILURE(start(56));
    ASSERT_TRUE(daemon_->waitForOutput("CLEARING", seconds(10))) << daemon_->output();
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait(seconds(20)), 0) << daemon_->output();
    // No iteration of the loop runs: the stop follows the start at once.
    EXPECT_TRUE(inOrder(daemon_->output(), {"\nExiting...\n", "Corvana starting... \n",
                                            "SATVIS Cmd Result: ", kDaqStart + "\n" + kDaqStop,
                                            "UNLOG Cmd Result: ", " Serial Comm CLOSED."}));
}

// A spool that cannot be loaded once the logs are on (its foreign line
// cannot be moved aside) still switches them off.
TEST_F(CorvanaSpine, SpoolFailureAfterTheLogsAreOnSwitchesThemOff) {
    const std::string spool = dir_.file("corvana-spool.sql");
    std::ofstream(spool) << "DROP TABLE troposphericDelay\n";
    chmod(spool.c_str(), 0600);
    ASSERT_EQ(mkdir((spool + ".rejected").c_str(), 0700), 0);
    ASSERT_NO_FATAL_FAILURE(start(57));
    EXPECT_EQ(daemon_->wait(seconds(20)), 255) << daemon_->output();
    EXPECT_TRUE(
        inOrder(daemon_->output(),
                {"SATVIS Cmd Result: ", "Error in [ start-up ] : cannot write the reject file",
                 kDaqStop, "UNLOG Cmd Result: <OK", " Serial Comm CLOSED."}));
    EXPECT_EQ(readFile(spool), "DROP TABLE troposphericDelay\n");  // kept until moved aside
}

TEST_F(CorvanaSpine, ReceiverVanishingEndsTheLoop) {
    ASSERT_NO_FATAL_FAILURE(start(57));
    ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(15))) << daemon_->output();
    std::this_thread::sleep_for(milliseconds(500));
    sim_->signal(SIGKILL);
    EXPECT_EQ(daemon_->wait(seconds(10)), 255) << daemon_->output();
    // Ended by the error, without switching the logs off.
    EXPECT_TRUE(inOrder(daemon_->output(), {kDaqStart, "Error in [ log READING ] : "}));
    EXPECT_EQ(readFile(dir_.file("commands")), kSetUpCommands);
}
