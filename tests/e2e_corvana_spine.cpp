// The real Corvana program against the receiver simulator on a
// pseudo-terminal, both under the same faked clock: set-up commands,
// countdown to the whole minute, acquisition and the ways it ends.
// No database is reachable here: rows fail to store, which the spine does
// not care about.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <sstream>
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

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) result.push_back(line);
    return result;
}

const std::vector<std::string> kAllCommands = {"log versiona once",      "unlogall true",
                                               "log bestposa ontime 60", "log satxyz2a ontime 60",
                                               "log satvisa ontime 60",  "unlogall true"};

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

// A clock offset that makes the faked clock read second `second` of its
// minute, taken just after a real second has begun, so that the faked
// second lasts for most of a second from now.
long alignedOffset(int second) {
    auto now = system_clock::now();
    auto intoSecond = duration_cast<milliseconds>(now.time_since_epoch()) % 1000;
    std::this_thread::sleep_for(milliseconds(1020) - intoSecond);
    return offsetToSecondOfMinute(second);
}

// One receiver simulator and one daemon in a working directory of their
// own, sharing the faked clock.
class Station {
  public:
    explicit Station(long offset) : dir_("ulmet-spine"), offset_(offset) {}

    std::vector<std::string> clockEnv() const {
        std::vector<std::string> env = faketimeEnv(offset_);
        env.push_back("TZ=UTC");
        return env;
    }

    void startSimulator() {
        std::vector<std::string> env = clockEnv();
        sim_.reset(new ChildProcess({binDir() + "/receiver_sim", "--link", link(), "--commands",
                                     dir_.file("commands"), "--interval-seconds", "5"},
                                    env, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
    }

    void startDaemon(const std::string& device) {
        std::vector<std::string> env = clockEnv();
        env.push_back("CORVANA_PORT=" + device);
        env.push_back("TERM=dumb");
        // Rows must not reach any shared server of the test run.
        env.push_back("MYSQL_UNIX_PORT=" + dir_.file("no-server.sock"));
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env, dir_.path()));
    }

    std::string link() const { return dir_.file("ttyRECEIVER"); }
    std::vector<std::string> commands() const { return lines(readFile(dir_.file("commands"))); }
    ChildProcess& sim() { return *sim_; }
    ChildProcess& daemon() { return *daemon_; }

  private:
    TempDir dir_;
    long offset_;
    std::unique_ptr<ChildProcess> sim_;
    std::unique_ptr<ChildProcess> daemon_;
};

class CorvanaSpine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (faketimeLibrary().empty()) GTEST_SKIP() << "libfaketime not installed";
    }
};

}  // namespace

TEST_F(CorvanaSpine, SetUpAcquisitionAndStopOnInterrupt) {
    Station station(alignedOffset(56));
    station.startSimulator();
    station.startDaemon(station.link());
    ChildProcess& daemon = station.daemon();

    ASSERT_TRUE(daemon.waitForOutput(kDaqStart, seconds(15))) << daemon.output();
    // Until the minute only the set-up commands reach the receiver.
    std::string beforeStart = daemon.output();
    // Let the loop read for a while (one emission of the simulator).
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_TRUE(daemon.running());
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait(seconds(10)), 0) << daemon.output();

    std::string out = daemon.output();
    EXPECT_TRUE(inOrder(out, {"\n\n\n GPS Antenna is communicating.\n\n\n\n",
                              kSeparator,
                              "VERSION Cmd Result: <OK",
                              "#VERSIONA,",
                              kSeparator,
                              "UNLOG Cmd Result: <OK",
                              "Corvana will start in : 1 secs\n",
                              "Corvana starting... \n",
                              kSeparator,
                              "BESTPOS Cmd Result: <OK",
                              kSeparator,
                              "SATXYZ2 Cmd Result: <OK",
                              kSeparator,
                              "SATVIS Cmd Result: <OK",
                              kDaqStart,
                              "\nExiting...\n",
                              kDaqStop,
                              "UNLOG Cmd Result: <OK",
                              "\n\n\n Serial Comm CLOSED.\n\n\n\n",
                              kSeparator}));
    EXPECT_EQ(station.commands(), kAllCommands);

    // The countdown counts down by one from where it started.
    size_t at = beforeStart.find("Corvana will start in : ");
    ASSERT_NE(at, std::string::npos);
    int first = std::atoi(beforeStart.c_str() + at + 24);
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 5);
    std::vector<std::string> expected;
    for (int n = first; n >= 1; --n) {
        expected.push_back("Corvana will start in : " + std::to_string(n) + " secs\n");
    }
    expected.push_back("Corvana starting... \n");
    EXPECT_TRUE(inOrder(beforeStart, expected));
    EXPECT_EQ(beforeStart.find("Corvana will start in : 0"), std::string::npos);
    EXPECT_EQ(out.find("Error in ["), std::string::npos) << out;
}

TEST_F(CorvanaSpine, CountdownFromSecond45) {
    Station station(alignedOffset(45));
    station.startSimulator();
    station.startDaemon(station.link());
    ChildProcess& daemon = station.daemon();

    ASSERT_TRUE(daemon.waitForOutput(kDaqStart, seconds(30))) << daemon.output();
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait(seconds(10)), 0) << daemon.output();

    std::string out = daemon.output();
    std::vector<std::string> expected = {"UNLOG Cmd Result: "};
    for (int n = 15; n >= 1; --n) {
        expected.push_back("Corvana will start in : " + std::to_string(n) + " secs\n");
    }
    expected.push_back("Corvana starting... \n");
    expected.push_back("BESTPOS Cmd Result: ");
    EXPECT_TRUE(inOrder(out, expected));
    EXPECT_EQ(out.find("Corvana will start in : 16"), std::string::npos) << out;
    EXPECT_EQ(station.commands(), kAllCommands);
}

TEST_F(CorvanaSpine, InterruptDuringCountdownStillSwitchesLogsOnThenOff) {
    Station station(alignedOffset(55));
    station.startSimulator();
    station.startDaemon(station.link());
    ChildProcess& daemon = station.daemon();

    ASSERT_TRUE(daemon.waitForOutput("Corvana will start in : ", seconds(10))) << daemon.output();
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait(seconds(20)), 0) << daemon.output();

    std::string out = daemon.output();
    EXPECT_TRUE(inOrder(out, {"Corvana will start in : ", "\nExiting...\n",
                              "Corvana starting... \n", "SATVIS Cmd Result: ", kDaqStart, kDaqStop,
                              "UNLOG Cmd Result: ", " Serial Comm CLOSED."}));
    // No iteration of the loop ran: the stop follows the start at once.
    size_t start = out.find(kDaqStart);
    size_t stop = out.find(kDaqStop);
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(stop, std::string::npos);
    std::string between =
        out.substr(start + sizeof kDaqStart - 1, stop - start - (sizeof kDaqStart - 1));
    EXPECT_EQ(between.find_first_not_of("\n"), std::string::npos) << "[" << between << "]";
    EXPECT_EQ(station.commands(), kAllCommands);
}

TEST_F(CorvanaSpine, MissingDeviceIsReportedByMain) {
    Station station(0);
    station.startDaemon("/dev/ulmet-no-such-receiver");
    ChildProcess& daemon = station.daemon();
    EXPECT_EQ(daemon.wait(seconds(10)), 255) << daemon.output();
    std::string out = daemon.output();
    EXPECT_EQ(
        out.rfind("Unhandled Exception: IO Exception (2): No such file or directory, file ", 0), 0u)
        << out;
    EXPECT_EQ(out.find("GPS Antenna"), std::string::npos) << out;
}

TEST_F(CorvanaSpine, ReceiverVanishingEndsTheLoop) {
    Station station(alignedOffset(57));
    station.startSimulator();
    station.startDaemon(station.link());
    ChildProcess& daemon = station.daemon();

    ASSERT_TRUE(daemon.waitForOutput(kDaqStart, seconds(15))) << daemon.output();
    std::this_thread::sleep_for(milliseconds(500));
    station.sim().signal(SIGKILL);
    station.sim().wait(seconds(5));
    EXPECT_EQ(daemon.wait(seconds(10)), 255) << daemon.output();

    std::string out = daemon.output();
    // The hang-up shows either in the byte count (EIO) or in the read that
    // select reported ready; both end the loop the same way.
    EXPECT_TRUE(inOrder(out, {kDaqStart, "Error in [ log READING ] : "}));
    size_t at = out.find("Error in [ log READING ] : ");
    ASSERT_NE(at, std::string::npos);
    std::string reason = out.substr(at + 27);
    EXPECT_TRUE(reason.rfind("IO Exception (5): ", 0) == 0 ||
                reason.rfind("SerialException device reports readiness to read but returned no "
                             "data (device disconnected?) failed.",
                             0) == 0)
        << reason;
    EXPECT_EQ(out.find(kDaqStop), std::string::npos) << out;
    // The logs were not switched off: nothing was sent after the set-up.
    std::vector<std::string> setUp(kAllCommands.begin(), kAllCommands.end() - 1);
    EXPECT_EQ(station.commands(), setUp);
}
