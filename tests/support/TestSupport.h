// Shared fixtures of the test programs: temporary directories, private
// MariaDB servers, SQL helpers, stdout capture, child processes and the
// faked clock (libfaketime).
#ifndef ULMET_TEST_SUPPORT_H
#define ULMET_TEST_SUPPORT_H

#include <gmock/gmock.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

struct st_mysql;  // the client library's connection (MYSQL)

namespace testsupport {

// The matchers of text the tests use, with `using namespace testsupport`.
using ::testing::HasSubstr;
using ::testing::Not;

// The daemon's set-up commands to the receiver, in order.
inline const std::string kSetUpCommands =
    "log versiona once\nunlogall true\nlog bestposa ontime 60\nlog satxyz2a ontime 60\n"
    "log satvisa ontime 60\n";

std::string sourceDir();  // the project's source tree
std::string binDir();     // the build tree (programs, tools)

// What a test holds alone (a directory, a server, a connection, a
// process): never copied.
struct NoCopy {
    NoCopy() = default;
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

// A fresh directory under /tmp, removed with its content on destruction.
class TempDir : NoCopy {
  public:
    explicit TempDir(const std::string& prefix = "ulmet");
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A private MariaDB server of the test program's own (data directory and
// Unix socket in a temporary directory), with the account root@localhost
// and the station's schema. stop() keeps the data for a later start().
class PrivateServer : NoCopy {
  public:
    PrivateServer();
    ~PrivateServer();  // stops the server and removes its directory
    void start();
    void stop();
    const std::string& socket() const { return socket_; }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
    std::string socket_;
};

// SQL on the server named by `socket` (empty: MYSQL_UNIX_PORT), database
// UlmetDB. Failures throw std::runtime_error with the server's message.
namespace sql {
using Row = std::vector<std::string>;  // NULL columns read as "NULL"
void exec(const std::string& statement, const std::string& socket = "");
std::vector<Row> rows(const std::string& query, const std::string& socket = "");
std::string scalar(const std::string& query, const std::string& socket = "");
// Several statements, each ended by ';', on one connection.
void script(const std::string& statements, const std::string& socket = "");
// Empties the eight tables (recreating any that a test dropped).
void resetTables(const std::string& socket = "");
// Minutes 2014-03-05 10:00-10:08, one for each flag of the export and each
// reason of a minute without a value: flags 1, 7, 9, 53, then
// no_satellite_rows, below_cutoff, weather_missing, negative_value,
// not_retrieved (the rows: tests/support/quality-minutes.sql).
void writeQualityMinutes(const std::string& socket = "");

// A connection held open: for table locks, and for accounts other than
// root. run() returns 0 or the error number of the statement's failure.
class Session : NoCopy {
  public:
    explicit Session(const std::string& socket = "", const std::string& user = "root",
                     const std::string& password = "kzqvwp");
    ~Session();
    unsigned int run(const std::string& statement);

  private:
    ::st_mysql* conn_;
};
// The rows of troposphericDelay in arrival order, each in the receiver
// simulator's --expected-rows form
// ("data|latitude|longitude|height|latErr|lonErr|heightErr|prn|elevation|td").
std::vector<std::string> delayRows(const std::string& socket = "");
}  // namespace sql

// Captures everything written to file descriptor 1 (printf and
// std::cout alike) between construction and text(); one at a time.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture() { text(); }
    std::string text();  // stops capturing (once) and returns the output

  private:
    bool done_ = false;
    std::string text_;
};

// A pseudo-terminal pair for tests of serial code: the code under test
// opens the terminal side by its path; the test plays the device on the
// controlling side. The terminal side is kept open in raw mode, so the
// pair survives the code under test closing its descriptor.
class Pty : NoCopy {
  public:
    Pty();
    ~Pty();
    const std::string& path() const { return path_; }
    // Sends bytes to the terminal side (as if the device had sent them).
    void write(const std::string& data);
    // What the terminal side sent, until it holds `text` or `timeout` passes.
    std::string readUntil(const std::string& text, std::chrono::milliseconds timeout);

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A child process with its standard output and error in one file.
class ChildProcess : NoCopy {
  public:
    // argv[0] is the program path; env entries "NAME=value" are added to
    // (or replace) this process's environment. Standard input is
    // /dev/null. cwd, when not empty, is the child's working directory.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                 const std::string& cwd = "");
    ~ChildProcess();  // kills a child still running

    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Exit status (0-255), 128 + signal number if killed by a signal, or
    // -1 if still running after the timeout.
    int wait(std::chrono::milliseconds timeout);
    bool running();
    std::string output() const;
    // Waits until the output holds `text`; false on timeout or exit.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

  private:
    pid_t pid_;
    int status_;
    bool reaped_;
    std::string outPath_;
};

// Runs a child to its end (or the timeout): "status|output".
std::string runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     const std::string& cwd = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Polls `condition` every `every` until it holds (true) or the timeout
// passes (false).
template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds every = std::chrono::milliseconds(100)) {
    using namespace std::chrono;
    for (auto end = steady_clock::now() + timeout; !condition(); std::this_thread::sleep_for(every))
        if (steady_clock::now() >= end) return false;
    return true;
}

// The libfaketime library, or "" if it is not installed.
std::string faketimeLibrary();
// Environment that shifts a child's wall clock by `offsetSeconds` (it
// keeps running at normal speed; the monotonic clock is left alone).
std::vector<std::string> faketimeEnv(long offsetSeconds);
// Offset (0 to 59 s) that makes a shifted clock read second `second` of
// its minute right now: the way to start a child a few seconds before a
// whole minute. Waits for the start of the next real second first, so
// that the shifted second lasts for most of a second after the call.
long offsetToSecondOfMinute(int second);

std::string readFile(const std::string& path);
std::vector<std::string> fileLines(const std::string& path);  // without their '\n'

// How many times `part` occurs in `text` (overlapping ones included).
std::size_t count(const std::string& text, const std::string& part);

// Expects `actual` to equal the golden file tests/<name>, the output people
// read as it should be. ULMET_UPDATE_GOLDEN=1 writes the file instead (then
// read its diff before committing it).
void expectGolden(const std::string& name, const std::string& actual);

}  // namespace testsupport

#endif
