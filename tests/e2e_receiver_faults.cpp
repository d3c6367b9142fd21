// A receiver that misbehaves, end to end: the real Corvana program against
// the receiver simulator on a pseudo-terminal. A receiver that never
// answers or refuses a log command fails the set-up; one that is reset and
// forgets its logs is set up again and acquisition resumes; one that stays
// away ends the daemon. The service manager hears readiness and the
// watchdog's keep-alives on a notification socket of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>

#include "Acquisition.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

const std::string kDaqStart = "============================== DAQ START";

// The simulator and the daemon on one clock at second 57 of a minute, no
// database: rows go to the spool, which does not matter here.
struct Receiver : ::testing::Test {
    void start(const std::vector<std::string>& simOptions,
               const std::vector<std::string>& daemonEnv = {}) {
        std::vector<std::string> env = faketimeEnv(offsetToSecondOfMinute(57));
        env.insert(env.end(), {"TZ=UTC", "TERM=dumb", "CORVANA_PORT=" + dir_.file("tty"),
                               "MYSQL_UNIX_PORT=" + dir_.file("no-server.sock")});
        std::vector<std::string> argv = {binDir() + "/receiver_sim",
                                         "--link",
                                         dir_.file("tty"),
                                         "--commands",
                                         dir_.file("commands"),
                                         "--baud",
                                         "38400",
                                         "--satellites",
                                         "6"};
        argv.insert(argv.end(), simOptions.begin(), simOptions.end());
        sim_.reset(new ChildProcess(argv, env, dir_.path()));
        ASSERT_TRUE(sim_->waitForOutput("PTY ", seconds(10))) << sim_->output();
        env.insert(env.end(), daemonEnv.begin(), daemonEnv.end());
        daemon_.reset(new ChildProcess({binDir() + "/Corvana"}, env, dir_.path()));
    }
    TempDir dir_{"ulmet-rcv"};
    std::unique_ptr<ChildProcess> sim_, daemon_;
};

// A datagram socket in the role of the service manager's.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            throw std::runtime_error("cannot bind " + path);
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;
    // The messages received so far, one a line.
    std::string messages() {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof(buffer), 0)) > 0;)
            received_ += std::string(buffer, static_cast<std::size_t>(n)) + "\n";
        return received_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    std::string received_;
};

TEST_F(Receiver, NoReplyOrARefusedCommandFailsTheSetUp) {
    // A line that takes the commands and never answers: the first command
    // fails after its wait, before any log is switched on.
    ASSERT_NO_FATAL_FAILURE(start({"--no-replies"}));
    EXPECT_EQ(daemon_->wait(seconds(20)), 255) << daemon_->output();
    std::string out = daemon_->output();
    EXPECT_NE(out.find("Error in [ log versiona once ] : no reply within 3 s\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find(kDaqStart), std::string::npos) << out;
    EXPECT_EQ(readFile(dir_.file("commands")), "log versiona once\n");
    daemon_.reset();
    sim_.reset();

    // A receiver that refuses the visibility log: the set-up fails there
    // and the logs already on are switched off again.
    std::remove(dir_.file("commands").c_str());
    ASSERT_NO_FATAL_FAILURE(start({"--refuse", "log satvisa"}));
    EXPECT_EQ(daemon_->wait(seconds(30)), 255) << daemon_->output();
    out = daemon_->output();
    EXPECT_NE(out.find("Error in [ log satvisa ontime 60 ] : the receiver refused it: <ERROR: "
                       "command refused\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(kDaqStart), std::string::npos) << out;
    EXPECT_EQ(readFile(dir_.file("commands")), kSetUpCommands + "unlogall true\n");
}

// The receiver goes away for good after its second emission: the daemon,
// told that 3 s without a valid log is silence, sends its set-up again
// three times (each unanswered), then exits 255. The loop keeps turning
// meanwhile, so the watchdog keeps hearing from it.
TEST_F(Receiver, SilentReceiverIsSetUpAgainThenGivenUpOnWatchdogHearsTheLoop) {
    NotifySocket manager(dir_.file("notify"));
    ASSERT_NO_FATAL_FAILURE(
        start({"--interval-seconds", "2", "--power-cycle", "2:600"},
              {"CORVANA_SILENCE_SECONDS=3", "NOTIFY_SOCKET=" + dir_.file("notify"),
               "WATCHDOG_USEC=2000000"}));
    ASSERT_TRUE(daemon_->waitForOutput(kDaqStart, seconds(20))) << daemon_->output();
    // Read as the service manager does, at once: a full queue would block
    // the sender.
    waitFor([&] { return !manager.messages().empty() && !daemon_->running(); }, seconds(60));
    EXPECT_EQ(daemon_->wait(seconds(1)), 255) << daemon_->output();
    std::string out = daemon_->output();
    // The first emission comes before the visibility log is on.
    EXPECT_GE(count(out, "SATVIS_LOG\n"), 1u) << out;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        std::string line =
            "s: sending its set-up again (attempt " + std::to_string(attempt) + " of 3).\n";
        EXPECT_EQ(count(out, line), 1u) << out;
    }
    EXPECT_EQ(count(out, "Error in [ unlogall true ] : no reply within 3 s\n"), 3u) << out;
    EXPECT_NE(out.find("set-up attempts: exiting, so that the port is opened afresh.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(readFile(dir_.file("commands")), kSetUpCommands);  // the rest went unheard

    std::string messages = manager.messages();
    ASSERT_EQ(messages.rfind("READY=1\n", 0), 0u) << messages;
    // About 15 s of loop at four keep-alives per 2 s period.
    EXPECT_GE(count(messages, "WATCHDOG=1\n"), 10u) << messages;
    EXPECT_EQ(messages.substr(messages.size() - 11), "STOPPING=1\n") << messages;
}

// A receiver reset: off for 3 s after its second emission, back with every
// log off. After 6 s without a valid log the daemon sets it up again and
// acquisition resumes; only the emissions of the silence are missing, and
// every row that was sent is stored, once.
struct Reset : Acquisition {};
TEST_F(Reset, ForgottenLogSetUpIsSentAgainAndAcquisitionResumes) {
    daemonEnv_ = {"CORVANA_SILENCE_SECONDS=6"};
    ASSERT_NO_FATAL_FAILURE(start("none", 2,
                                  {"--power-cycle", "2:3", "--satellites", "6", "--baud", "38400",
                                   "--commands", dir_.file("commands")},
                                  true));
    ASSERT_TRUE(daemon_->waitForOutput("(attempt 1 of 3).\n", seconds(30))) << daemon_->output();
    ASSERT_TRUE(waitFor([&] { return emissions() >= 5; }, seconds(30))) << sim_->output();
    ASSERT_TRUE(nextVisibilityLog(seconds(10))) << daemon_->output();
    std::string out = stopDaemon();
    EXPECT_EQ(count(out, "sending its set-up again"), 1u) << out;
    EXPECT_EQ(readFile(dir_.file("commands")),
              kSetUpCommands +
                  "unlogall true\nlog bestposa ontime 60\nlog satxyz2a ontime 60\n"
                  "log satvisa ontime 60\nunlogall true\n");
    EXPECT_EQ(stored(), expected()) << out;
    // Emissions every 2 s, silence noticed after 6 s: the slots of about
    // 7 s are lost. Printed for the record of a reset's cost.
    std::vector<std::string> rows = expected();
    ASSERT_FALSE(rows.empty());
    std::printf("reset: %zu emissions stored; receiver silent from %s\n", emissions(),
                rows.front().substr(0, 19).c_str());
}

}  // namespace
