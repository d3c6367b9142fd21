// The real Corvana program against the receiver simulator on a
// pseudo-terminal, both under the same faked clock: set-up commands,
// countdown to the whole minute, acquisition and the ways it ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

const char kDaqStart[] =
    "\n============================== DAQ START =======================================\n";
const char kDaqStop[] =
    "\n============================== DAQ STOP =======================================\n";
const char kSeparator[] =
    "\n============================================================================\n";

// What the receiver gets: the set-up commands, then the stop command.
const std::string kSetUpCommands =
    "log versiona once\nunlogall true\nlog bestposa ontime 60\nlog satxyz2a ontime 60\n"
    "log satvisa ontime 60\n";
const std::string kAllCommands = kSetUpCommands + "unlogall true\n";

// Texts expected in this order in `text`; reports the first one missing.
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
        size_t found = text.find(part, at);
        if (found == std::string::npos) {
            return ::testing::AssertionFailure() << "missing (in order): \"" << part << "\"\n"
                                                 << text;
        }
        at = found + part.size();
    }
    return ::testing::AssertionSuccess();
}

class CorvanaSpine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    }
    // The simulator (emitting every 5 s) and the daemon on its link, under
    // a clock faked to read second `second` of a minute.
    void start(int second) {
        env_ = faketimeEnv(offsetToSecondOfMinute(second));
        env_.push_back("TZ=UTC");
        sim_.reset(
            new ChildProcess({binDir() + "/receiver_sim", "--link", dir_.file("tty"), "--commands",
                              dir_.file("commands"), "--interval-seconds", "5"},
                             env_, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        startDaemon(dir_.file("tty"));
    }
    void startDaemon(const std::string& device) {
        std::vector<std::string> env = env_;
        // No database is reachable: rows fail to store, which does not matter here.
        env.insert(env.end(), {"CORVANA_PORT=" + device, "TERM=dumb",
                               "MYSQL_UNIX_PORT=" + dir_.file("no-server.sock")});
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env, dir_.path()));
    }
    std::string commands() const { return readFile(dir_.file("commands")); }

    TempDir dir_{"ulmet-spine"};
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

}  // namespace

TEST_F(CorvanaSpine, SetUpCountdownAcquisitionAndStopOnInterrupt) {
    ASSERT_NO_FATAL_FAILURE(start(45));
    ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(30))) << daemon_->output();
    std::this_thread::sleep_for(milliseconds(1500));  // one emission of the simulator
    EXPECT_TRUE(daemon_->running());
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait(seconds(10)), 0) << daemon_->output();

    std::string out = daemon_->output();
    std::vector<std::string> expected;
    expected.insert(expected.end(),
                    {"\n\n\n GPS Antenna is communicating.\n\n\n\n", kSeparator,
                     "VERSION Cmd Result: <OK", "#VERSIONA,", kSeparator, "UNLOG Cmd Result: <OK"});
    for (int n = 15; n >= 1; --n)
        expected.push_back("Corvana will start in : " + std::to_string(n) + " secs\n");
    expected.insert(expected.end(),
                    {"Corvana starting... \n", kSeparator, "BESTPOS Cmd Result: <OK", kSeparator,
                     "SATXYZ2 Cmd Result: <OK", kSeparator, "SATVIS Cmd Result: <OK", kDaqStart,
                     "\nExiting...\n", kDaqStop, "UNLOG Cmd Result: <OK",
                     "\n\n\n Serial Comm CLOSED.\n\n\n\n", kSeparator});
    EXPECT_TRUE(inOrder(out, expected));
    EXPECT_EQ(out.find("Corvana will start in : 16"), std::string::npos) << out;
    EXPECT_EQ(out.find("Corvana will start in : 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("Error in ["), std::string::npos) << out;
    EXPECT_EQ(commands(), kAllCommands);
}

TEST_F(CorvanaSpine, InterruptDuringCountdownStillSwitchesLogsOnThenOff) {
    ASSERT_NO_FATAL_FAILURE(start(55));
    ASSERT_TRUE(daemon_->waitForOutput("Corvana will start in : ", seconds(10)))
        << daemon_->output();
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait(seconds(20)), 0) << daemon_->output();
    // No iteration of the loop runs: the stop follows the start at once.
    EXPECT_TRUE(inOrder(daemon_->output(),
                        {"Corvana will start in : ", "\nExiting...\n", "Corvana starting... \n",
                         "SATVIS Cmd Result: ", std::string(kDaqStart) + "\n" + kDaqStop,
                         "UNLOG Cmd Result: ", " Serial Comm CLOSED."}));
    EXPECT_EQ(commands(), kAllCommands);
}

TEST_F(CorvanaSpine, MissingDeviceIsReportedByMain) {
    startDaemon("/dev/ulmet-no-such-receiver");
    EXPECT_EQ(daemon_->wait(seconds(10)), 255) << daemon_->output();
    EXPECT_EQ(daemon_->output().rfind(
                  "Unhandled Exception: IO Exception (2): No such file or directory, file ", 0),
              0u)
        << daemon_->output();
    EXPECT_EQ(daemon_->output().find("GPS Antenna"), std::string::npos);
}

TEST_F(CorvanaSpine, ReceiverVanishingEndsTheLoop) {
    ASSERT_NO_FATAL_FAILURE(start(57));
    ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(15))) << daemon_->output();
    std::this_thread::sleep_for(milliseconds(500));
    sim_->signal(SIGKILL);
    sim_->wait(seconds(5));
    EXPECT_EQ(daemon_->wait(seconds(10)), 255) << daemon_->output();

    // The hang-up shows either in the byte count (EIO) or in the read that
    // select reported ready; both end the loop the same way.
    std::string out = daemon_->output();
    size_t at = out.find("Error in [ log READING ] : ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_LT(out.find(kDaqStart), at);
    std::string reason = out.substr(at + 27);
    EXPECT_TRUE(reason.rfind("IO Exception (5): ", 0) == 0 ||
                reason.rfind("SerialException device reports readiness to read but returned no "
                             "data (device disconnected?) failed.",
                             0) == 0)
        << reason;
    EXPECT_EQ(out.find(kDaqStop), std::string::npos) << out;
    // The logs were not switched off: nothing was sent after the set-up.
    EXPECT_EQ(commands(), kSetUpCommands);
}
