#include "Corvana.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>

#include "DeviceLock.h"
#include "Metrics.h"
#include "ReceiverValues.h"
#include "ServiceNotify.h"
#include "acquisition/LogAssembly.h"
#include "acquisition/ReceiverSetup.h"
#include "serial.h"

volatile sig_atomic_t running = 0;

const std::string::size_type NOTFOUND = std::string::npos;

void sighandler(int sig) {
    (void)sig;
    running = 0;
    // write(2) is safe inside a signal handler; stdio is not.
    static const char message[] = "\nExiting...\n";
    ssize_t written = write(STDOUT_FILENO, message, sizeof message - 1);
    (void)written;
}

int my_sleep(unsigned long milliseconds) {
    return usleep(static_cast<useconds_t>(milliseconds * 1000));
}

namespace {

const char* const kSeparator =
    "\n============================================================================\n";

// One whole second, even when a signal interrupts the sleep: an interrupt
// does not shorten the countdown.
void sleepOneSecond() {
    unsigned int left = 1;
    while (left > 0) left = sleep(left);
}

// Runs "clear". Not through the shell's `system`, which ignores SIGINT in
// this process while the command runs and so would lose an interrupt: the
// command is started directly and waited for with the handler in place.
void clearScreen() {
    std::cout.flush();
    char name[] = "clear";
    char* argv[] = {name, nullptr};
    pid_t child;
    if (posix_spawnp(&child, name, nullptr, nullptr, argv, environ) != 0) return;
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// One daemon per working directory (where the spool of kept rows lives)
// and per device. Both locks are held until the process ends, however it
// ends: the kernel releases them, so a lock file left by a killed daemon
// does not block. Returns "" when both are held, otherwise why not.
const char* const kLockFile = "corvana.lock";

std::string holderOf(int fd) {
    char text[32] = {0};
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
    return pid > 0 ? "PID " + std::to_string(pid) : std::string("a process of unknown PID");
}

std::string holdLocks(const std::string& device) {
    char cwd[4096];
    std::string where = getcwd(cwd, sizeof(cwd)) != nullptr ? std::string(cwd) + "/" : "";
    where += kLockFile;
    // Never through a link, and only a regular file of this user that no
    // one else may write: the daemon truncates and writes what it opens.
    int lockFd = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (lockFd < 0) return "cannot open " + where + ": " + std::strerror(errno);
    struct stat info {};
    if (fstat(lockFd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(lockFd);
        return where + " is not a regular file of this user that only it may write";
    }
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        std::string reason = errno == EWOULDBLOCK
                                 ? "another Corvana (" + holderOf(lockFd) + ") holds " + where
                                 : "cannot lock " + where + ": " + std::strerror(errno);
        close(lockFd);
        return reason;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd, 0) != 0 || pwrite(lockFd, pid.data(), pid.size(), 0) < 0) {
        std::cout << "Warning: cannot write the PID into " << where << std::endl;
    }
    // The device: a write lock on the whole of it, whose holder the kernel
    // names. A device that does not open is left to the port, which
    // reports it.
    std::string who;
    if (!lockDevice(device, &who)) return "another Corvana (" + who + ") uses the device " + device;
    return "";
}

// Sends one set-up command and prints everything read while its reply was
// awaited; text that is not the reply goes to `other`. The command fails,
// printing `error` and why, on an exception, on an error reply and when no
// reply comes within receiver::kReplyWait.
bool sendCommand(serial::Serial& port, const std::stringstream& command, const char* label,
                 const char* error, const std::function<void(const std::string&)>& other) {
    try {
        std::cout << kSeparator << std::endl;
        receiver::Answer answer = receiver::sendCommand(port, command.str(), other);
        std::cout << label << receiver::printable(answer.text) << "\n" << std::endl;
        if (answer.reply == receiver::Reply::Ok) return true;
        if (answer.reply == receiver::Reply::Error)
            std::cout << error << "the receiver refused it: " << receiver::printable(answer.line)
                      << std::endl;
        else
            std::cout
                << error << "no reply within "
                << std::chrono::duration_cast<std::chrono::seconds>(receiver::kReplyWait).count()
                << " s" << std::endl;
        return false;
    } catch (std::exception& e) {
        std::cout << error << e.what() << std::endl;
        return false;
    }
}

// What the run leaves behind: rows still waiting (in the spool file, and
// those that it could not take and that are lost now), logs dropped.
std::size_t printSummary(LogAssembly& assembly) {
    std::size_t lost = 0;
    std::size_t inFile = assembly.finishSpool(&lost);
    if (inFile > 0) {
        std::cout << "Rows kept for the database: " << inFile << ", in "
                  << assembly.keptRowSpool().path() << std::endl;
    }
    if (lost > 0) {
        std::cout << "Rows lost, the spool file could not take them: " << lost << std::endl;
    }
    if (assembly.droppedLogs() > 0) {
        std::cout << "Logs dropped for a wrong or cut checksum: " << assembly.droppedLogs()
                  << std::endl;
    }
    if (assembly.refusedLogs() > 0) {
        std::cout << "Logs refused for values no receiver reports: " << assembly.refusedLogs()
                  << std::endl;
    }
    return lost;
}

double wallClock() {
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The daemon's state for ulmet-status and the monitoring system: the
// metrics file corvana.prom, written at DAQ START, at most once a minute
// after that, and at the end.
class StateFile {
  public:
    StateFile() : path_(metrics::directory(".") + "/corvana.prom") {}

    void write(const LogAssembly& assembly, const receiver::SilenceWatch& watch, bool running,
               double lostRows, bool force = false) {
        auto now = std::chrono::steady_clock::now();
        if (!force && written_ && now - last_ < std::chrono::seconds(60)) return;
        written_ = true;
        last_ = now;
        double rows = static_cast<double>(assembly.rowsReceived());
        metrics::DaemonFigures f;
        f.now = wallClock();
        // Rows of the last hour by the minute they carry: the 60 minutes
        // that end with the current one, so that a reader can count the
        // rows stored for exactly those minutes.
        const time_t last = static_cast<time_t>(std::floor(f.now / 60) * 60);
        const time_t first = last - 59 * 60;
        auto minuteText = [](time_t t) {
            struct tm utc = {};
            gmtime_r(&t, &utc);
            char text[32];
            (void)std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &utc);
            return std::string(text);
        };
        f.rowsReceivedLastHour =
            static_cast<double>(assembly.rowsOfMinutes(minuteText(first), minuteText(last)));
        f.rowsReceivedFirstMinute = static_cast<double>(first);
        f.rowsReceivedLastMinute = static_cast<double>(last);
        f.running = running;
        f.lastValidLog = lastValidLog;
        f.reinitialisations = static_cast<double>(watch.reinitialisations());
        f.validLogs = static_cast<double>(assembly.validLogs());
        f.droppedLogs = static_cast<double>(assembly.droppedLogs());
        f.rowsReceived = rows;
        const RowSpool& spool = assembly.keptRowSpool();
        f.spoolRows = static_cast<double>(spool.size());
        f.spoolInMemoryOnly = static_cast<double>(spool.inMemoryOnly());
        if (!spool.empty()) {
            const std::string& row = spool.front();
            std::string::size_type end = row.rfind("')");
            struct tm minute = {};
            if (end != std::string::npos && end >= 19 &&
                strptime(row.substr(end - 19, 19).c_str(), "%Y-%m-%d %H:%M:%S", &minute) != nullptr)
                f.spoolOldest = static_cast<double>(timegm(&minute));
        }
        f.rowsLost = lostRows;
        std::ifstream rejected(spool.rejectPath(), std::ios::binary);
        for (std::string line; std::getline(rejected, line);) ++f.rejectedLines;
        f.clockKnown = std::isfinite(assembly.clockOffset());
        f.clockOffset = f.clockKnown ? assembly.clockOffset() : 0;
        struct statvfs fs = {};
        if (statvfs(".", &fs) == 0) {
            f.freeBytes = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
            f.totalBytes = static_cast<double>(fs.f_blocks) * static_cast<double>(fs.f_frsize);
        }
        std::string error;
        bool ok = metrics::writeFile(path_, metrics::daemonText(f), &error);
        if (ok != ok_) {
            // Once per change: a full disk must not fill the journal.
            ok_ = ok;
            if (!ok)
                std::cout << "State file " << path_ << " cannot be written (" << error << ")."
                          << std::endl;
            else
                std::cout << "State file " << path_ << " written again." << std::endl;
        }
    }
    double lastValidLog = -1;

  private:
    std::string path_;
    bool written_ = false, ok_ = true;
    std::chrono::steady_clock::time_point last_;
};

// The device: /dev/ttyUSB0, or the one named by CORVANA_PORT.
std::string devicePath() {
    const char* configured = std::getenv("CORVANA_PORT");
    if (configured != nullptr && *configured != '\0') return configured;
    return "/dev/ttyUSB0";
}

}  // namespace

int run(int argc, char** argv) {
    (void)argc;
    (void)argv;
    signal(SIGINT, sighandler);

    std::stringstream versionCmd, unlogCmd, bestposCmd, satxyz2Cmd, satvisCmd;
    versionCmd << "log versiona once\r\n";
    unlogCmd << "unlogall true\r\n";
    bestposCmd << "log bestposa ontime 60\r\n";
    satxyz2Cmd << "log satxyz2a ontime 60\r\n";
    satvisCmd << "log satvisa ontime 60\r\n";

    const double elevCutOff = 30.0;
    LogAssembly assembly(elevCutOff);
    // A spool file that may not be trusted stops the daemon before the
    // receiver is touched.
    try {
        assembly.checkSpool();
    } catch (std::exception& e) {
        std::cout << "Error in [ spool file ] : " << e.what() << std::endl;
        return -1;
    }
    std::string tmp_input;

    const std::string port = devicePath();
    std::string refusal = holdLocks(port);
    if (!refusal.empty()) {
        std::cout << "Corvana does not start: " << refusal << "." << std::endl;
        return -1;
    }
    unsigned long baud = 0;
    sscanf("9600", "%lu", &baud);
    serial::Timeout timeout = serial::Timeout::simpleTimeout(250);
    serial::Serial my_serial(port, static_cast<uint32_t>(baud), timeout, serial::eightbits,
                             serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);

    if (!my_serial.isOpen()) {
        std::cout << "\n\n\n GPS Antenna is NOT communicating.\n\n\n" << std::endl;
        return -1;
    }
    std::cout << "\n\n\n GPS Antenna is communicating.\n\n\n" << std::endl;
    running = 1;

    // Text read with the set-up replies that is not a reply: handed to the
    // assembly with the first read of the loop (the assembly starts, with
    // its spool, only after the set-up).
    std::string carry;
    auto keep = [&carry](const std::string& text) { carry += text; };

    // Receiver set-up: version, then every log off.
    if (!sendCommand(my_serial, versionCmd,
                     "VERSION Cmd Result: ", "Error in [ log versiona once ] : ", keep)) {
        return -1;
    }
    if (!sendCommand(my_serial, unlogCmd,
                     "UNLOG Cmd Result: ", "Error in [ unlogall true ] : ", keep)) {
        return -1;
    }

    // Count down to about one second after the next whole minute.
    time_t now = time(nullptr);
    struct tm* ts = localtime(&now);
    int sec = 60 - ts->tm_sec;
    while (sec >= 0) {
        if (sec != 0) {
            std::cout << "Corvana will start in : " << sec << " secs" << std::endl;
            sleepOneSecond();
            clearScreen();
        } else {
            sleepOneSecond();
            clearScreen();
            std::cout << "Corvana starting... " << std::endl;
        }
        sec--;
    }

    // The three once-a-minute logs on. From the first command on, a
    // failure still switches the logs off again (the stop sequence).
    auto logsOn = [&](const std::function<void(const std::string&)>& other) {
        return sendCommand(my_serial, bestposCmd, "BESTPOS Cmd Result: ",
                           "Error in [ log bestposa ontime 60 ] : ", other) &&
               sendCommand(my_serial, satxyz2Cmd, "SATXYZ2 Cmd Result: ",
                           "Error in [ log satxyz2a ontime 60 ] : ", other) &&
               sendCommand(my_serial, satvisCmd,
                           "SATVIS Cmd Result: ", "Error in [ log satvisa ontime 60 ] : ", other);
    };
    bool started = logsOn(keep);
    if (started) {
        try {
            assembly.start();
        } catch (std::exception& e) {
            std::cout << "Error in [ start-up ] : " << e.what() << std::endl;
            started = false;
        }
    }
    if (started) {
        std::cout << "\n============================== DAQ START "
                     "=======================================\n"
                  << std::endl;
        service::notify("READY=1");
    }

    // Acquisition: each iteration is paced by the read's budget. A receiver
    // that sends no valid log for the silence limit (it was reset and has
    // forgotten its logs, say) is set up again, a limited number of times.
    auto toAssembly = [&assembly](const std::string& text) { assembly.pass(text); };
    receiver::SilenceWatch watch(receiver::SilenceWatch::limitFromEnvironment(),
                                 receiver::SilenceWatch::kDefaultMaxAttempts,
                                 std::chrono::steady_clock::now());
    std::size_t heard = assembly.validLogs();
    bool gaveUp = false;
    StateFile state;
    if (started) state.write(assembly, watch, true, 0);
    while (started && running && !gaveUp) {
        try {
            tmp_input = carry + my_serial.read(8192);
            carry.clear();
            assembly.pass(tmp_input);
            tmp_input.clear();
            service::watchdog();
            auto tick = std::chrono::steady_clock::now();
            if (assembly.validLogs() != heard) {
                heard = assembly.validLogs();
                watch.heard(tick);
                state.lastValidLog = wallClock();
            }
            state.write(assembly, watch, true, 0);
            switch (watch.check(tick)) {
                case receiver::SilenceWatch::Action::None:
                    break;
                case receiver::SilenceWatch::Action::SetUpAgain:
                    std::cout << "No valid log from the receiver for "
                              << watch.silentFor(tick).count()
                              << " s: sending its set-up again (attempt " << watch.attempt()
                              << " of " << watch.maxAttempts() << ")." << std::endl;
                    if (!(sendCommand(my_serial, unlogCmd, "UNLOG Cmd Result: ",
                                      "Error in [ unlogall true ] : ", toAssembly) &&
                          logsOn(toAssembly))) {
                        std::cout << "Set-up attempt " << watch.attempt() << " failed."
                                  << std::endl;
                    }
                    break;
                case receiver::SilenceWatch::Action::GiveUp:
                    std::cout << "No valid log from the receiver for "
                              << watch.silentFor(tick).count() << " s after " << watch.maxAttempts()
                              << " set-up attempts: exiting, so that the port is opened afresh."
                              << std::endl;
                    gaveUp = true;
                    break;
            }
        } catch (std::exception& e) {
            std::cout << "Error in [ log READING ] : " << e.what() << std::endl;
            return -1;
        }
    }
    service::notify("STOPPING=1");
    if (gaveUp) {
        my_serial.close();
        state.write(assembly, watch, false, static_cast<double>(printSummary(assembly)), true);
        return -1;
    }

    // Stop: every log off, then the port closed. The reply is awaited but
    // not examined; log text read meanwhile is still used.
    std::cout << "\n============================== DAQ STOP "
                 "=======================================\n"
              << std::endl;
    try {
        receiver::Answer answer = receiver::sendCommand(my_serial, unlogCmd.str(), toAssembly);
        std::cout << "UNLOG Cmd Result: " << receiver::printable(answer.text) << "\n" << std::endl;
    } catch (std::exception& e) {
        std::cout << "Error in [ unlogall true ] before exiting : " << e.what() << std::endl;
        return -1;
    }

    my_serial.close();
    std::cout << "\n\n\n Serial Comm CLOSED.\n\n\n" << std::endl;
    std::cout << kSeparator << std::endl;
    std::size_t lost = printSummary(assembly);
    if (started) state.write(assembly, watch, false, static_cast<double>(lost), true);
    return started ? 0 : -1;
}
