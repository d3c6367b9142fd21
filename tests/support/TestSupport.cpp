#include "TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

std::string sourceDir() { return ULMET_SOURCE_DIR; }

std::string binDir() {
    const char* dir = std::getenv("ULMET_BIN_DIR");
    return (dir != nullptr && *dir != '\0') ? dir : ULMET_BINARY_DIR;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> fileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) ++n;
    return n;
}

namespace {
std::string makeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// Runs mariadb.sh with `args`; on a failure its messages go to standard
// error.
int mariadb(std::vector<std::string> args) {
    args.insert(args.begin(), sourceDir() + "/tests/support/mariadb.sh");
    ChildProcess script(args);
    const int status = script.wait(std::chrono::minutes(5));
    if (status != 0) std::cerr << script.output();
    return status;
}
}  // namespace

TempDir::TempDir(const std::string& prefix) : path_(makeTempDir(prefix)) {}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

PrivateServer::PrivateServer() : dir_(makeTempDir("ulmet-srv")), socket_(dir_ + "/mysqld.sock") {
    start();
}

PrivateServer::~PrivateServer() { mariadb({"destroy", dir_}); }

void PrivateServer::start() {
    if (mariadb({"start", dir_, sourceDir() + "/db/schema.sql"}) != 0)
        throw std::runtime_error("cannot start MariaDB in " + dir_);
}

void PrivateServer::stop() { mariadb({"stop", dir_}); }

namespace sql {
namespace {
[[noreturn]] void fail(MYSQL* conn, const std::string& what) {
    std::string message = what + ": " + mysql_error(conn);
    mysql_close(conn);
    throw std::runtime_error(message);
}

MYSQL* connect(const std::string& socket, unsigned long flags = 0, const std::string& user = "root",
               const std::string& password = "kzqvwp") {
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr) throw std::runtime_error("mysql_init failed");
    const char* path = socket.empty() ? nullptr : socket.c_str();
    if (mysql_real_connect(conn, "localhost", user.c_str(), password.c_str(), "UlmetDB", 0, path,
                           flags) == nullptr)
        fail(conn, "cannot connect");
    return conn;
}

void run(MYSQL* conn, const std::string& statement) {
    if (mysql_query(conn, statement.c_str()) != 0) fail(conn, "statement failed: " + statement);
}
}  // namespace

void exec(const std::string& statement, const std::string& socket) { rows(statement, socket); }

std::vector<Row> rows(const std::string& query, const std::string& socket) {
    MYSQL* conn = connect(socket);
    run(conn, query);
    std::vector<Row> out;
    MYSQL_RES* result = mysql_store_result(conn);
    if (result != nullptr) {
        unsigned int n = mysql_num_fields(result);
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            Row r;
            for (unsigned int i = 0; i < n; ++i) r.push_back(row[i] != nullptr ? row[i] : "NULL");
            out.push_back(r);
        }
        mysql_free_result(result);
    }
    mysql_close(conn);
    return out;
}

std::string scalar(const std::string& query, const std::string& socket) {
    std::vector<Row> r = rows(query, socket);
    if (r.empty() || r[0].empty()) throw std::runtime_error("no value from: " + query);
    return r[0][0];
}

// The first statement that fails throws; those after it do not run.
void script(const std::string& statements, const std::string& socket) {
    MYSQL* conn = connect(socket, CLIENT_MULTI_STATEMENTS);
    run(conn, statements);
    int next = 0;
    do {
        MYSQL_RES* result = mysql_store_result(conn);
        if (result != nullptr) mysql_free_result(result);
    } while ((next = mysql_next_result(conn)) == 0);
    if (next > 0) fail(conn, "statement failed");
    mysql_close(conn);
}

// The minutes and their rows are in tests/support/quality-minutes.sql.
void writeQualityMinutes(const std::string& socket) {
    script(readFile(sourceDir() + "/tests/support/quality-minutes.sql"), socket);
}

void resetTables(const std::string& socket) {
    // The schema recreates any table a test dropped; nothing else changes.
    std::string statements = readFile(sourceDir() + "/db/schema.sql");
    for (const char* table : {"troposphericDelay", "gps", "ipwv", "pressure", "temperature",
                              "humidity", "radiance", "raingauge"})
        statements += std::string("\nTRUNCATE TABLE ") + table + ";";
    script(statements, socket);
}

Session::Session(const std::string& socket, const std::string& user, const std::string& password)
    : conn_(connect(socket, 0, user, password)) {}

Session::~Session() { mysql_close(conn_); }

unsigned int Session::run(const std::string& statement) {
    if (mysql_query(conn_, statement.c_str()) != 0) return mysql_errno(conn_);
    MYSQL_RES* result = mysql_store_result(conn_);
    if (result != nullptr) mysql_free_result(result);
    return 0;
}
}  // namespace sql

std::vector<std::string> sql::delayRows(const std::string& socket) {
    std::vector<std::string> out;
    for (const Row& r : rows("SELECT data, latitude, longitude, height, latitudeErr, longitudeErr, "
                             "heightErr, prn, elevation, td FROM troposphericDelay ORDER BY id",
                             socket)) {
        auto d = [&](int i) { return std::stod(r[i]); };
        char buffer[512];
        std::snprintf(buffer, sizeof(buffer), "%s|%.12f|%.12f|%.5f|%.5f|%.5f|%.5f|%d|%.5f|%.2f",
                      r[0].c_str(), d(1), d(2), d(3), d(4), d(5), d(6), std::stoi(r[7]), d(8),
                      d(9));
        out.push_back(buffer);
    }
    return out;
}

StdoutCapture::StdoutCapture() { ::testing::internal::CaptureStdout(); }

std::string StdoutCapture::text() {
    if (!done_) {
        std::cout.flush();
        text_ = ::testing::internal::GetCapturedStdout();
        done_ = true;
    }
    return text_;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& cwd)
    : pid_(-1), status_(0), reaped_(false) {
    char pattern[] = "/tmp/ulmet-child.XXXXXX";
    int outFd = mkstemp(pattern);
    if (outFd < 0) throw std::runtime_error("mkstemp failed");
    outPath_ = pattern;

    // By name: the last of `env`, else this process's own.
    auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::map<std::string, std::string> vars;
    for (const std::string& entry : env) vars[name(entry)] = entry;
    for (char** e = environ; *e != nullptr; ++e) vars.emplace(name(*e), *e);
    std::vector<char*> envp, args;
    for (auto& kv : vars) envp.push_back(const_cast<char*>(kv.second.c_str()));
    for (auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    args.push_back(nullptr);

    fflush(stdout);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(outFd, 1);
        dup2(outFd, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(outFd);
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    unlink(outPath_.c_str());
}

void ChildProcess::signal(int sig) {
    if (!reaped_ && pid_ > 0) kill(pid_, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    auto reaped = [&] { return reaped_ = reaped_ || waitpid(pid_, &status_, WNOHANG) == pid_; };
    if (!waitFor(reaped, timeout, std::chrono::milliseconds(20))) return -1;
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
}

bool ChildProcess::running() { return !reaped_ && wait(std::chrono::milliseconds(0)) == -1; }

std::string ChildProcess::output() const { return readFile(outPath_); }

// Once the child has ended, its output is complete: no need to wait on.
bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    auto seen = [&] { return output().find(text) != std::string::npos; };
    waitFor([&] { return seen() || !running(); }, timeout, std::chrono::milliseconds(50));
    return seen();
}

Pty::Pty() {
    char name[4096];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    path_ = name;
    struct termios raw {};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
}

Pty::~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void Pty::write(const std::string& data) {
    if (::write(master_, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        throw std::runtime_error("write to the pseudo-terminal failed");
}

std::string Pty::readUntil(const std::string& text, std::chrono::milliseconds timeout) {
    std::string received;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd pfd = {master_, POLLIN, 0};
        char buffer[4096];
        ssize_t n = left.count() > 0 && poll(&pfd, 1, static_cast<int>(left.count())) > 0
                        ? ::read(master_, buffer, sizeof buffer)
                        : 0;
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

std::string runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& cwd, std::chrono::milliseconds timeout) {
    ChildProcess child(argv, env, cwd);
    const int status = child.wait(timeout);  // before the output is read
    return std::to_string(status) + "|" + child.output();
}

std::string faketimeLibrary() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                             "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                             "/usr/lib/faketime/libfaketime.so.1"})
        if (access(path, R_OK) == 0) return path;
    return "";
}

std::vector<std::string> faketimeEnv(long offsetSeconds) {
    std::string preload = faketimeLibrary();
    if (preload.empty()) throw std::runtime_error("libfaketime is not installed");
    const char* existing = std::getenv("LD_PRELOAD");
    if (existing != nullptr && *existing != '\0') preload = std::string(existing) + ":" + preload;
    // A sanitized child refuses to start when another library is preloaded
    // ahead of its runtime unless told that the order is fine.
    std::string asan = "verify_asan_link_order=0";
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    if (asanOptions != nullptr && *asanOptions != '\0')
        asan = std::string(asanOptions) + ":" + asan;
    return {
        "LD_PRELOAD=" + preload, "ASAN_OPTIONS=" + asan,
        "FAKETIME=" + std::string(offsetSeconds >= 0 ? "+" : "") + std::to_string(offsetSeconds),
        "DONT_FAKE_MONOTONIC=1", "FAKETIME_DONT_RESET=1"};
}

long offsetToSecondOfMinute(int second) {
    // Just after a real second has begun, so that the shifted second lasts
    // for most of a second from now.
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    auto intoSecond = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch) % 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(1020) - intoSecond);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return ((second - local.tm_sec) % 60 + 60) % 60;
}

void expectGolden(const std::string& name, const std::string& actual) {
    const std::string path = sourceDir() + "/tests/" + name;
    const char* update = std::getenv("ULMET_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    EXPECT_EQ(actual, readFile(path)) << "golden file " << path;
}

}  // namespace testsupport
