#include "Corvana.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

#include "LogAssembly.h"
#include "ReceiverValues.h"
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
    int deviceFd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (deviceFd < 0) return "";
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(deviceFd, F_SETLK, &whole) != 0) {
        struct flock holder = whole;
        std::string who = fcntl(deviceFd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK
                              ? "PID " + std::to_string(holder.l_pid)
                              : std::string("a process of unknown PID");
        close(deviceFd);
        return "another Corvana (" + who + ") uses the device " + device;
    }
    return "";
}

// Sends one set-up command and prints the reply that arrives within one
// read budget; the reply is shown, never examined. On failure prints
// `error` with the exception's text and returns false.
bool sendCommand(serial::Serial& port, const std::stringstream& command, const char* label,
                 const char* error) {
    try {
        std::cout << kSeparator << std::endl;
        port.write(command.str());
        std::string cmdResult = port.read(8192);
        std::cout << label << receiver::printable(cmdResult) << "\n" << std::endl;
        cmdResult.clear();
    } catch (std::exception& e) {
        std::cout << error << e.what() << std::endl;
        return false;
    }
    return true;
}

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
    std::string cmdResult;

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

    // Receiver set-up: version, then every log off.
    if (!sendCommand(my_serial, versionCmd,
                     "VERSION Cmd Result: ", "Error in [ log versiona once ] : ")) {
        return -1;
    }
    if (!sendCommand(my_serial, unlogCmd, "UNLOG Cmd Result: ", "Error in [ unlogall true ] : ")) {
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
    bool started = sendCommand(my_serial, bestposCmd,
                               "BESTPOS Cmd Result: ", "Error in [ log bestposa ontime 60 ] : ") &&
                   sendCommand(my_serial, satxyz2Cmd,
                               "SATXYZ2 Cmd Result: ", "Error in [ log satxyz2a ontime 60 ] : ") &&
                   sendCommand(my_serial, satvisCmd,
                               "SATVIS Cmd Result: ", "Error in [ log satvisa ontime 60 ] : ");
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
    }

    // Acquisition: each iteration is paced by the read's budget.
    while (started && running) {
        try {
            tmp_input = my_serial.read(8192);
            assembly.pass(tmp_input);
            tmp_input.clear();
        } catch (std::exception& e) {
            std::cout << "Error in [ log READING ] : " << e.what() << std::endl;
            return -1;
        }
    }

    // Stop: every log off, then the port closed.
    std::cout << "\n============================== DAQ STOP "
                 "=======================================\n"
              << std::endl;
    try {
        my_serial.write(unlogCmd.str());
        cmdResult = my_serial.read(8192);
        std::cout << "UNLOG Cmd Result: " << receiver::printable(cmdResult) << "\n" << std::endl;
        cmdResult.clear();
    } catch (std::exception& e) {
        std::cout << "Error in [ unlogall true ] before exiting : " << e.what() << std::endl;
        return -1;
    }

    my_serial.close();
    std::cout << "\n\n\n Serial Comm CLOSED.\n\n\n" << std::endl;
    std::cout << kSeparator << std::endl;
    if (assembly.keptRows() > 0) {
        std::cout << "Rows kept for the database: " << assembly.keptRows() << std::endl;
    }
    if (assembly.droppedLogs() > 0) {
        std::cout << "Logs dropped for a wrong or cut checksum: " << assembly.droppedLogs()
                  << std::endl;
    }
    if (assembly.refusedLogs() > 0) {
        std::cout << "Logs refused for values no receiver reports: " << assembly.refusedLogs()
                  << std::endl;
    }
    return started ? 0 : -1;
}
