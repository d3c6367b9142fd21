// The real Corvana program against the receiver simulator on a
// pseudo-terminal, both under the same faked clock: set-up commands,
// countdown to the whole minute, acquisition and the ways it ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

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
const std::string kSeparator = kBar + "==============================================\n";
const std::string kSetUpCommands =
    "log versiona once\nunlogall true\nlog bestposa ontime 60\nlog satxyz2a ontime 60\n"
    "log satvisa ontime 60\n";

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
    // The simulator (emitting every 5 s) and the daemon on its link, under
    // a clock faked to read second `second` of a minute.
    void start(int second) {
        env_ = faketimeEnv(offsetToSecondOfMinute(second));
        sim_.reset(
            new ChildProcess({binDir() + "/receiver_sim", "--link", dir_.file("tty"), "--commands",
                              dir_.file("commands"), "--interval-seconds", "5"},
                             env_, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        startDaemon(dir_.file("tty"));
    }
    // No database is reachable: rows fail to store, which does not matter here.
    void startDaemon(const std::string& device) {
        env_.insert(env_.end(), {"CORVANA_PORT=" + device, "TERM=dumb", "TZ=UTC",
                                 "MYSQL_UNIX_PORT=" + dir_.file("no-server.sock")});
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env_, dir_.path()));
    }

    TempDir dir_{"ulmet-spine"};
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

}  // namespace

TEST_F(CorvanaSpine, SetUpCountdownAcquisitionAndStopOnInterrupt) {
    ASSERT_NO_FATAL_FAILURE(start(45));
    ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(30))) << daemon_->output();
    std::this_thread::sleep_for(milliseconds(1500));  // one emission of the simulator
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait(seconds(10)), 0) << daemon_->output();
    // The countdown follows the set-up at once, from 15 down to 1.
    std::string countdown = "UNLOG Cmd Result: <OK\r\n\n\n";
    for (int n = 15; n >= 1; --n)
        countdown += "Corvana will start in : " + std::to_string(n) + " secs\n";
    std::vector<std::string> expected = {" GPS Antenna is communicating.\n", kSeparator,
                                         "VERSION Cmd Result: <OK\r\n#VERSIONA,", kSeparator,
                                         countdown + "Corvana starting... \n"};
    for (std::string log : {"BESTPOS", "SATXYZ2", "SATVIS"})
        expected.insert(expected.end(), {kSeparator, log + " Cmd Result: <OK"});
    expected.insert(expected.end(), {kDaqStart, "\nExiting...\n", kDaqStop, "UNLOG Cmd Result: <OK",
                                     " Serial Comm CLOSED.\n", kSeparator});
    EXPECT_TRUE(inOrder(daemon_->output(), expected));
    EXPECT_EQ(readFile(dir_.file("commands")), kSetUpCommands + "unlogall true\n");
}

TEST_F(CorvanaSpine, InterruptDuringCountdownStillSwitchesLogsOnThenOff) {
    ASSERT_NO_FATAL_FAILURE(start(55));
    ASSERT_TRUE(daemon_->waitForOutput("Corvana will start in : ", seconds(10)));
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait(seconds(20)), 0) << daemon_->output();
    // No iteration of the loop runs: the stop follows the start at once.
    EXPECT_TRUE(inOrder(daemon_->output(), {"\nExiting...\n", "Corvana starting... \n",
                                            "SATVIS Cmd Result: ", kDaqStart + "\n" + kDaqStop,
                                            "UNLOG Cmd Result: ", " Serial Comm CLOSED."}));
    EXPECT_EQ(readFile(dir_.file("commands")), kSetUpCommands + "unlogall true\n");
}

// A spool file that others could write stops the daemon before any
// command; a spool that cannot be loaded once the logs are on (its foreign
// line cannot be moved aside) still switches them off.
TEST_F(CorvanaSpine, SpoolFailuresStopBeforeTheLogsOrSwitchThemOff) {
    const std::string spool = dir_.file("corvana-spool.sql");
    std::ofstream(spool) << "DROP TABLE troposphericDelay\n";
    chmod(spool.c_str(), 0666);
    ASSERT_NO_FATAL_FAILURE(start(57));
    EXPECT_EQ(daemon_->wait(seconds(10)), 255) << daemon_->output();
    EXPECT_THAT(daemon_->output(),
                ::testing::HasSubstr("Error in [ spool file ] : spool file corvana-spool.sql "
                                     "is writable by group or others"));
    EXPECT_EQ(readFile(dir_.file("commands")), "");

    chmod(spool.c_str(), 0600);
    ASSERT_EQ(mkdir((spool + ".rejected").c_str(), 0700), 0);
    env_ = faketimeEnv(offsetToSecondOfMinute(57));
    startDaemon(dir_.file("tty"));
    EXPECT_EQ(daemon_->wait(seconds(20)), 255) << daemon_->output();
    EXPECT_TRUE(
        inOrder(daemon_->output(),
                {"SATVIS Cmd Result: ", "Error in [ start-up ] : cannot write the reject file",
                 kDaqStop, "UNLOG Cmd Result: <OK", " Serial Comm CLOSED."}));
    EXPECT_EQ(readFile(dir_.file("commands")), kSetUpCommands + "unlogall true\n");
    EXPECT_EQ(readFile(spool), "DROP TABLE troposphericDelay\n");  // kept until moved aside
}

TEST_F(CorvanaSpine, MissingDeviceIsReportedByMain) {
    startDaemon("/dev/ulmet-no-such-receiver");
    EXPECT_EQ(daemon_->wait(seconds(10)), 255) << daemon_->output();
    EXPECT_THAT(daemon_->output(),
                ::testing::StartsWith("Unhandled Exception: IO Exception (2): No such file"));
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
