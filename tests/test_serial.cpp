// The serial port layer on real pseudo-terminals, and the port list.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "Pty.h"
#include "TestSupport.h"
#include "list_ports_linux.h"
#include "serial.h"
#include "unix.h"

using namespace std::chrono;
using serial::Serial;
using serial::Timeout;
using testsupport::Pty;

namespace {

using Calls = std::vector<std::pair<std::string, std::function<void()>>>;

long elapsedMs(steady_clock::time_point start) {
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

// The terminal settings of the pseudo-terminal as the driver holds them.
struct termios settingsOf(const Pty& pty) {
    int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios options {};
    EXPECT_EQ(tcgetattr(fd, &options), 0);
    ::close(fd);
    return options;
}

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) ++count;
    if (dir != nullptr) closedir(dir);
    return count;
}

// The text of the exception of type E that `call` throws, or "".
template <typename E>
std::string thrownText(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(SerialPort, OpenAndClose) {
    Serial unopened;
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { unopened.open(); }),
              "Empty port is invalid.");
    try {
        Serial missing("/dev/ulmet-no-such-device", 9600, Timeout::simpleTimeout(250));
        ADD_FAILURE() << "opened a missing device";
    } catch (const serial::IOException& e) {
        EXPECT_EQ(e.getErrorNumber(), ENOENT);
        EXPECT_EQ(std::string(e.what()).rfind(
                      "IO Exception (2): " + std::string(strerror(ENOENT)) + ", file ", 0),
                  0u)
            << e.what();
    }
    // The macro records the raising statement's own file.
    EXPECT_EQ(thrownText<serial::IOException>([] {
                  THROW(serial::IOException, "here");
              }).rfind(std::string("IO Exception: here, file ") + __FILE__ + ", line ", 0),
              0u);

    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(thrownText<serial::SerialException>([&] { port.open(); }),
              "SerialException Serial port already open. failed.");
    port.close();
    port.close();  // harmless
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.available(), 0u);
    port.open();
    EXPECT_TRUE(port.isOpen());
}

TEST(SerialPort, ConfiguresRawLine) {
    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));
    struct termios t = settingsOf(pty);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag &
                  (IGNBRK | INLCR | IGNCR | ICRNL | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY),
              0u);
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));

    // A change on an open port applies at once. (The pseudo-terminal forces
    // CS8 and clears PARENB; PARODD, CSTOPB, flow control and speed show.)
    port.setParity(serial::parity_odd);
    port.setStopbits(serial::stopbits_two);
    port.setFlowcontrol(serial::flowcontrol_software);
    port.setBaudrate(115200);
    t = settingsOf(pty);
    EXPECT_EQ(t.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    port.setParity(serial::parity_even);
    port.setStopbits(serial::stopbits_one_point_five);
    port.setFlowcontrol(serial::flowcontrol_none);
    t = settingsOf(pty);
    EXPECT_EQ(t.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    // An invalid value is refused by the reconfiguration; each is put right
    // before the next one is tried.
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { port.setBytesize(serial::bytesize_t(9)); }),
              "invalid char len");
    port.setBytesize(serial::eightbits);
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { port.setStopbits(serial::stopbits_t(0)); }),
              "invalid stop bit");
    port.setStopbits(serial::stopbits_one);
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { port.setParity(serial::parity_t(3)); }),
              "invalid parity");
    port.setParity(serial::parity_none);
    EXPECT_TRUE(port.isOpen());
}

TEST(SerialPort, CharacterTimeAndWaits) {
    // Milliseconds past a whole second carry into the seconds.
    for (uint32_t ms : {0u, 999u, 1500u}) {
        timespec ts = serial::timespec_from_ms(ms);
        EXPECT_EQ(ts.tv_sec, static_cast<time_t>(ms / 1000));
        EXPECT_EQ(ts.tv_nsec, (ms % 1000) * 1000000L);
    }
    Pty pty;
    Serial::SerialImpl impl(pty.path(), 9600, serial::eightbits, serial::parity_none,
                            serial::stopbits_one, serial::flowcontrol_none);
    EXPECT_EQ(impl.byteTimeNs(), 10u * 104166u);
    impl.setStopbits(serial::stopbits_one_point_five);
    EXPECT_EQ(impl.byteTimeNs(), 12u * 104166u - 156249u);
    impl.setBaudrate(0);  // hang-up rate: no character time, no crash
    EXPECT_EQ(impl.byteTimeNs(), 0u);

    Serial::SerialImpl even(pty.path(), 9600, serial::eightbits, serial::parity_even,
                            serial::stopbits_one, serial::flowcontrol_none);
    EXPECT_EQ(even.byteTimeNs(), 1145826u);
    // A wait of more than a second is waited in full (1000 characters of
    // 11 bits at 9600 baud: 1.15 s).
    auto start = steady_clock::now();
    even.waitByteTimes(1000);
    EXPECT_GE(elapsedMs(start), 1140);
}

TEST(SerialPort, ReadWithinBudget) {
    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));
    auto start = steady_clock::now();
    EXPECT_EQ(port.read(8192), "");
    EXPECT_GE(elapsedMs(start), 245);
    EXPECT_LT(elapsedMs(start), 2000);

    // Bytes already there, exactly the size asked for: returned at once.
    pty.write("abcdefgh");
    start = steady_clock::now();
    EXPECT_EQ(port.read(5), "abcde");
    EXPECT_LT(elapsedMs(start), 200);
    EXPECT_EQ(port.available(), 3u);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(port.read(bytes, 3), 3u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "fgh");

    // A steady stream: the read returns what arrived within its budget and
    // nothing is lost between reads.
    std::string stream;
    for (int i = 0; i < 8; ++i) stream += "chunk-" + std::to_string(i) + ";";
    std::thread writer([&] {
        for (int i = 0; i < 8; ++i) {
            pty.write(stream.substr(i * 8, 8));
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    start = steady_clock::now();
    std::string first = port.read(8192);
    EXPECT_LT(elapsedMs(start), 2000);
    writer.join();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first + port.read(8192), stream);
}

TEST(SerialPort, WriteAndLines) {
    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(100));
    EXPECT_EQ(port.write(std::string("log versiona once\r\n")), 19u);
    EXPECT_EQ(pty.readUntil("\r\n", milliseconds(2000)), "log versiona once\r\n");
    const uint8_t raw[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(port.write(raw, sizeof raw), 4u);
    EXPECT_EQ(port.write(std::vector<uint8_t>{'x', 'y'}), 2u);
    EXPECT_EQ(pty.readFor(milliseconds(200)), std::string("ab\0cxy", 6));

    pty.write("first\nsecond\nthird");
    EXPECT_EQ(port.readline(), "first\n");
    EXPECT_EQ(port.readlines(), (std::vector<std::string>{"second\n", "third"}));
    // A size limit ends the line early; a two-byte terminator is matched.
    pty.write("abcdef\r\nrest\r\n");
    std::string line;
    EXPECT_EQ(port.readline(line, 3, "\r\n"), 3u);
    EXPECT_EQ(line, "abc");
    EXPECT_EQ(port.readline(100, "\r\n"), "def\r\n");
    EXPECT_EQ(port.readline(100, "\r\n"), "rest\r\n");
    EXPECT_EQ(port.readline(), "");  // timeout, nothing there
}

TEST(SerialPort, ClosedPortOperationsThrow) {
    Serial port;
    const Calls operations = {
        {"read", [&] { port.read(1); }},
        {"write", [&] { port.write("x"); }},
        {"flush", [&] { port.flush(); }},
        {"flushInput", [&] { port.flushInput(); }},
        {"flushOutput", [&] { port.flushOutput(); }},
        {"sendBreak", [&] { port.sendBreak(100); }},
        {"setBreak", [&] { port.setBreak(true); }},
        {"setRTS", [&] { port.setRTS(true); }},
        {"setDTR", [&] { port.setDTR(false); }},
        {"getCTS", [&] { port.getCTS(); }},
        {"getDSR", [&] { port.getDSR(); }},
        {"getRI", [&] { port.getRI(); }},
        {"getCD", [&] { port.getCD(); }},
        {"read", [&] { port.readline(); }},
        {"read", [&] { port.readlines(); }},
    };
    // Twice: the locks are free again after every exception.
    for (int round = 0; round < 2; ++round) {
        for (const auto& operation : operations) {
            EXPECT_EQ(thrownText<serial::PortNotOpenedException>(operation.second),
                      "PortNotOpenedException Serial::" + operation.first + " failed.");
        }
    }
    EXPECT_EQ(port.available(), 0u);
    port.close();
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPort, PtyRefusesCustomRateAndModemLines) {
    Pty pty;
    int before = openDescriptors();
    try {
        Serial port(pty.path(), 500000, Timeout::simpleTimeout(250));
        ADD_FAILURE() << "a pseudo-terminal took a custom divisor";
    } catch (const serial::IOException& e) {
        EXPECT_NE(e.getErrorNumber(), 0);
        EXPECT_EQ(std::string(e.what()).rfind(
                      "IO Exception (" + std::to_string(e.getErrorNumber()) + "): ", 0),
                  0u)
            << e.what();
    }
    EXPECT_EQ(openDescriptors(), before);  // the failed opening keeps no descriptor

    // On an open port the setting fails and the port stays usable.
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(100));
    EXPECT_THROW(port.setBaudrate(576000), serial::IOException);
    port.setBaudrate(9600);
    EXPECT_EQ(port.write("ok"), 2u);

    // Modem lines: "SerialException <op> failed on a call to ioctl(<req>): <errno> <text> failed."
    const Calls operations = {
        {"setRTS failed on a call to ioctl(TIOCMBIS): ", [&] { port.setRTS(true); }},
        {"setRTS failed on a call to ioctl(TIOCMBIC): ", [&] { port.setRTS(false); }},
        {"getCD failed on a call to ioctl(TIOCMGET): ", [&] { port.getCD(); }},
        {"waitForDSR failed on a call to ioctl(TIOCMIWAIT): ", [&] { port.waitForChange(); }},
    };
    for (const auto& operation : operations) {
        std::string text = thrownText<serial::SerialException>(operation.second);
        std::string head = "SerialException " + operation.first;
        int errnum = text.rfind(head, 0) == 0 ? std::atoi(text.c_str() + head.size()) : 0;
        EXPECT_GT(errnum, 0) << text;
        EXPECT_EQ(text, head + std::to_string(errnum) + " " + strerror(errnum) + " failed.");
    }
}

TEST(ListPorts, ThisMachine) {
    const std::vector<std::string> patterns = {"/dev/ttyACM", "/dev/ttyS", "/dev/ttyUSB",
                                               "/dev/tty.", "/dev/cu."};
    size_t lastPattern = 0;
    for (const serial::PortInfo& info : serial::list_ports()) {
        size_t pattern = 0;
        while (pattern < patterns.size() && info.port.rfind(patterns[pattern], 0) != 0) ++pattern;
        ASSERT_LT(pattern, patterns.size()) << info.port;
        EXPECT_GE(pattern, lastPattern) << info.port;
        lastPattern = pattern;
        EXPECT_FALSE(info.description.empty() || info.hardware_id.empty()) << info.port;
        std::string name = serial::detail::basename(info.port);
        if (pattern == 1) {
            EXPECT_EQ(info.description, name);
            if (!serial::detail::path_exists("/sys/class/tty/" + name + "/device/id")) {
                EXPECT_EQ(info.hardware_id, "n/a");
            }
        }
    }
    // A node without a sysfs entry falls back to its name and "n/a".
    for (std::string name : {"ttyUSB-ulmet-none", "ttyS-ulmet-none"}) {
        EXPECT_EQ(serial::detail::get_sysfs_info("/dev/" + name),
                  (std::vector<std::string>{name, "n/a"}));
    }
}

TEST(ListPorts, TextHelpersAndSysfsFiles) {
    using namespace serial::detail;
    // Qualified: the C library has a basename() of its own.
    EXPECT_EQ(serial::detail::basename("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(serial::detail::basename("ttyS0"), "ttyS0");
    EXPECT_EQ(serial::detail::basename("/dev/"), "");
    EXPECT_EQ(dirname("/sys/class/tty"), "/sys/class");
    EXPECT_EQ(dirname("/ttyS0"), "/");
    EXPECT_EQ(dirname("ttyS0"), "ttyS0");
    EXPECT_EQ(dirname(""), "");
    EXPECT_EQ(serial::detail::realpath("/ulmet/no/such/path"), "");
    EXPECT_EQ(serial::detail::realpath("/dev/../dev"), "/dev");
    EXPECT_EQ(format("%s-%d", "a", 7), "a-7");
    // 255 characters fill the first buffer with the terminator; longer ones
    // need a second pass.
    for (size_t length : {255, 256, 300}) {
        std::string text(length, 'x');
        EXPECT_EQ(format("<%s>", text.c_str()), "<" + text + ">");
        EXPECT_EQ(format("%s", text.c_str()), text);
    }

    testsupport::TempDir dir("ulmet-sysfs");
    EXPECT_EQ(usb_sysfs_friendly_name(dir.path()), "");  // no files: empty, no crash
    for (std::string name : {"idVendor", "idProduct", "manufacturer", "product", "serial"})
        std::ofstream(dir.file(name)) << name.substr(0, 6) << "\n";
    EXPECT_EQ(usb_sysfs_friendly_name(dir.path()), "manufa produc serial");
    EXPECT_EQ(usb_sysfs_hw_string(dir.path()), "USB VID:PID=idVend:idProd SNR=serial");

    // Sorted within a pattern, patterns in order, no match adds nothing.
    for (const char* name : {"b1", "a2", "a1"}) std::ofstream(dir.file(name)).put('\n');
    EXPECT_EQ(glob({dir.file("a*"), dir.file("none*"), dir.file("b*")}),
              (std::vector<std::string>{dir.file("a1"), dir.file("a2"), dir.file("b1")}));
    EXPECT_TRUE(glob({}).empty());
    EXPECT_FALSE(path_exists(dir.file("zz")));
}
