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

long elapsedMs(steady_clock::time_point start) {
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

// The terminal settings of the pseudo-terminal as the driver holds them.
struct termios settingsOf(const Pty& pty) {
    int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios options;
    memset(&options, 0, sizeof options);
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

// The text of the exception that `call` throws, or "" if it throws none
// of type E.
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

TEST(SerialExceptions, Texts) {
    EXPECT_STREQ(serial::SerialException("Serial port already open.").what(),
                 "SerialException Serial port already open. failed.");
    EXPECT_STREQ(serial::PortNotOpenedException("Serial::read").what(),
                 "PortNotOpenedException Serial::read failed.");
    serial::IOException withErrno("unix.cpp", 42, ENOENT);
    EXPECT_EQ(std::string(withErrno.what()),
              "IO Exception (2): " + std::string(strerror(ENOENT)) + ", file unix.cpp, line 42.");
    EXPECT_EQ(withErrno.getErrorNumber(), ENOENT);
    serial::IOException withText("unix.cpp", 7, "::tcgetattr");
    EXPECT_STREQ(withText.what(), "IO Exception: ::tcgetattr, file unix.cpp, line 7.");
    EXPECT_EQ(withText.getErrorNumber(), 0);
    // The macro records the raising statement's own file and line.
    try {
        THROW(serial::IOException, "here");
    } catch (const serial::IOException& e) {
        EXPECT_NE(std::string(e.what()).find(std::string(", file ") + __FILE__ + ", line "),
                  std::string::npos);
    }
}

TEST(SerialTimer, TimespecAndRemaining) {
    timespec ts = serial::timespec_from_ms(1500);
    EXPECT_EQ(ts.tv_sec, 1);
    EXPECT_EQ(ts.tv_nsec, 500000000L);
    ts = serial::timespec_from_ms(999);
    EXPECT_EQ(ts.tv_sec, 0);
    EXPECT_EQ(ts.tv_nsec, 999000000L);
    ts = serial::timespec_from_ms(0);
    EXPECT_EQ(ts.tv_sec, 0);
    EXPECT_EQ(ts.tv_nsec, 0);

    // 999 ms lands past a second boundary for most start times: the carry
    // must keep the deadline right.
    serial::MillisecondTimer timer(999);
    int64_t left = timer.remaining();
    EXPECT_LE(left, 999);
    EXPECT_GE(left, 900);
    serial::MillisecondTimer shortTimer(50);
    std::this_thread::sleep_for(milliseconds(80));
    EXPECT_LT(shortTimer.remaining(), 0);
    EXPECT_EQ(Timeout::max(), 4294967295u);
    Timeout simple = Timeout::simpleTimeout(250);
    EXPECT_EQ(simple.inter_byte_timeout, Timeout::max());
    EXPECT_EQ(simple.read_timeout_constant, 250u);
    EXPECT_EQ(simple.read_timeout_multiplier, 0u);
    EXPECT_EQ(simple.write_timeout_constant, 250u);
    EXPECT_EQ(simple.write_timeout_multiplier, 0u);
}

TEST(SerialPort, EmptyPortAndDoubleOpen) {
    Serial unopened;
    EXPECT_FALSE(unopened.isOpen());
    EXPECT_EQ(thrownText<std::invalid_argument>([&] { unopened.open(); }),
              "Empty port is invalid.");

    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.getPort(), pty.path());
    EXPECT_EQ(thrownText<serial::SerialException>([&] { port.open(); }),
              "SerialException Serial port already open. failed.");
    port.close();
    EXPECT_FALSE(port.isOpen());
    port.close();  // harmless
    EXPECT_EQ(port.available(), 0u);
    port.open();
    EXPECT_TRUE(port.isOpen());
}

TEST(SerialPort, MissingDeviceCarriesErrno) {
    try {
        Serial port("/dev/ulmet-no-such-device", 9600, Timeout::simpleTimeout(250));
        FAIL() << "opened a missing device";
    } catch (const serial::IOException& e) {
        EXPECT_EQ(e.getErrorNumber(), ENOENT);
        EXPECT_EQ(std::string(e.what()).rfind("IO Exception (2): ", 0), 0u) << e.what();
    }
}

TEST(SerialPort, ConfiguresRawLine) {
    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250), serial::eightbits,
                serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
    struct termios t = settingsOf(pty);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag &
                  (IGNBRK | INLCR | IGNCR | ICRNL | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY),
              0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));

    // Changing a setting on an open port reconfigures it at once. (The
    // pseudo-terminal driver forces CS8 and clears PARENB on every change,
    // so character size and parity enable cannot be read back here;
    // PARODD, CSTOPB, the flow control and the speed can.)
    port.setParity(serial::parity_odd);
    port.setStopbits(serial::stopbits_two);
    port.setBytesize(serial::sevenbits);
    port.setFlowcontrol(serial::flowcontrol_software);
    port.setBaudrate(115200);
    t = settingsOf(pty);
    EXPECT_EQ(t.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(port.getParity(), serial::parity_odd);
    EXPECT_EQ(port.getStopbits(), serial::stopbits_two);
    EXPECT_EQ(port.getBytesize(), serial::sevenbits);
    EXPECT_EQ(port.getFlowcontrol(), serial::flowcontrol_software);
    EXPECT_EQ(port.getBaudrate(), 115200u);

    port.setParity(serial::parity_even);
    port.setStopbits(serial::stopbits_one_point_five);
    port.setFlowcontrol(serial::flowcontrol_none);
    t = settingsOf(pty);
    EXPECT_EQ(t.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    // An invalid value is stored and refused by the reconfiguration; each
    // is put right before the next one is tried.
    EXPECT_EQ(thrownText<std::invalid_argument>(
                  [&] { port.setBytesize(static_cast<serial::bytesize_t>(9)); }),
              "invalid char len");
    port.setBytesize(serial::eightbits);
    EXPECT_EQ(thrownText<std::invalid_argument>(
                  [&] { port.setStopbits(static_cast<serial::stopbits_t>(0)); }),
              "invalid stop bit");
    port.setStopbits(serial::stopbits_one);
    EXPECT_EQ(thrownText<std::invalid_argument>(
                  [&] { port.setParity(static_cast<serial::parity_t>(3)); }),
              "invalid parity");
    port.setParity(serial::parity_none);
    EXPECT_TRUE(port.isOpen());

    // The timeout is stored, not applied to the line.
    port.setTimeout(1, 2, 3, 4, 5);
    Timeout stored = port.getTimeout();
    EXPECT_EQ(stored.inter_byte_timeout, 1u);
    EXPECT_EQ(stored.write_timeout_multiplier, 5u);
}

TEST(SerialPort, CharacterTime) {
    Pty pty;
    {
        Serial::SerialImpl impl(pty.path(), 9600, serial::eightbits, serial::parity_none,
                                serial::stopbits_one, serial::flowcontrol_none);
        EXPECT_EQ(impl.byteTimeNs(), 10u * 104166u);
        impl.setParity(serial::parity_even);
        EXPECT_EQ(impl.byteTimeNs(), 11u * 104166u);
        impl.setParity(serial::parity_none);
        impl.setStopbits(serial::stopbits_one_point_five);
        EXPECT_EQ(impl.byteTimeNs(), 12u * 104166u - 156249u);
        impl.setBaudrate(0);  // hang-up rate: no character time, no crash
        EXPECT_EQ(impl.byteTimeNs(), 0u);
    }
    Serial::SerialImpl even(pty.path(), 9600, serial::eightbits, serial::parity_even,
                            serial::stopbits_one, serial::flowcontrol_none);
    EXPECT_EQ(even.byteTimeNs(), 1145826u);

    // A wait of more than a second is waited in full (1000 characters at
    // 11 bits and 9600 baud: 1.15 s).
    auto start = steady_clock::now();
    even.waitByteTimes(1000);
    EXPECT_GE(elapsedMs(start), 1140);
}

TEST(SerialPort, ReadWithinBudget) {
    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(250));

    // Nothing arrives: an empty text, no sooner than the budget and not
    // much later.
    auto start = steady_clock::now();
    std::string nothing = port.read(8192);
    long waited = elapsedMs(start);
    EXPECT_TRUE(nothing.empty());
    EXPECT_GE(waited, 245);
    EXPECT_LT(waited, 2000);

    // Bytes already there and exactly the size asked for: returned at once.
    pty.write("abcdefgh");
    start = steady_clock::now();
    EXPECT_EQ(port.read(5), "abcde");
    EXPECT_LT(elapsedMs(start), 200);
    EXPECT_EQ(port.available(), 3u);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(port.read(bytes, 3), 3u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "fgh");

    // A steady stream: the read returns what arrived within its budget,
    // and nothing is lost between reads.
    std::string stream;
    for (int i = 0; i < 8; ++i) stream += "chunk-" + std::to_string(i) + ";";
    std::thread writer([&] {
        for (int i = 0; i < 8; ++i) {
            pty.write("chunk-" + std::to_string(i) + ";");
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    start = steady_clock::now();
    std::string first = port.read(8192);
    long took = elapsedMs(start);
    writer.join();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(stream.compare(0, first.size(), first), 0) << first;
    EXPECT_LT(took, 2000);
    std::string rest = port.read(8192);
    EXPECT_EQ(first + rest, stream);
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
    std::vector<std::string> lines = port.readlines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "second\n");
    EXPECT_EQ(lines[1], "third");

    // A size limit ends the line early; a two-byte terminator is matched.
    pty.write("abcdef\r\nrest\r\n");
    std::string line;
    EXPECT_EQ(port.readline(line, 3, "\r\n"), 3u);
    EXPECT_EQ(line, "abc");
    EXPECT_EQ(port.readline(100, "\r\n"), "def\r\n");
    EXPECT_EQ(port.readline(100, "\r\n"), "rest\r\n");
    EXPECT_EQ(port.readline(), "");  // timeout, nothing there

    port.flush();
    port.flushInput();
    port.flushOutput();
}

TEST(SerialPort, ClosedPortOperationsThrow) {
    Serial port;
    const std::vector<std::pair<std::string, std::function<void()>>> operations = {
        {"Serial::read", [&] { port.read(1); }},
        {"Serial::write", [&] { port.write(std::string("x")); }},
        {"Serial::flush", [&] { port.flush(); }},
        {"Serial::flushInput", [&] { port.flushInput(); }},
        {"Serial::flushOutput", [&] { port.flushOutput(); }},
        {"Serial::sendBreak", [&] { port.sendBreak(100); }},
        {"Serial::setBreak", [&] { port.setBreak(true); }},
        {"Serial::setRTS", [&] { port.setRTS(true); }},
        {"Serial::setDTR", [&] { port.setDTR(false); }},
        {"Serial::getCTS", [&] { port.getCTS(); }},
        {"Serial::getDSR", [&] { port.getDSR(); }},
        {"Serial::getRI", [&] { port.getRI(); }},
        {"Serial::getCD", [&] { port.getCD(); }},
        {"Serial::read", [&] { port.readline(); }},
        {"Serial::read", [&] { port.readlines(); }},
    };
    for (const auto& operation : operations) {
        EXPECT_EQ(thrownText<serial::PortNotOpenedException>(operation.second),
                  "PortNotOpenedException " + operation.first + " failed.");
    }
    EXPECT_EQ(port.available(), 0u);
    port.close();
    port.close();
    EXPECT_FALSE(port.isOpen());
    // The locks are free again after every exception.
    EXPECT_THROW(port.read(1), serial::PortNotOpenedException);
    EXPECT_THROW(port.write(std::string("x")), serial::PortNotOpenedException);
}

TEST(SerialPort, CustomRateUnsupportedByPty) {
    Pty pty;
    int before = openDescriptors();
    try {
        Serial port(pty.path(), 500000, Timeout::simpleTimeout(250));
        FAIL() << "a pseudo-terminal took a custom divisor";
    } catch (const serial::IOException& e) {
        EXPECT_NE(e.getErrorNumber(), 0);
        EXPECT_EQ(std::string(e.what()).rfind(
                      "IO Exception (" + std::to_string(e.getErrorNumber()) + "): ", 0),
                  0u)
            << e.what();
    }
    // The failed opening keeps no descriptor.
    EXPECT_EQ(openDescriptors(), before);

    // The same on an open port: the setting fails, the port stays usable.
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(100));
    EXPECT_THROW(port.setBaudrate(576000), serial::IOException);
    EXPECT_TRUE(port.isOpen());
    port.setBaudrate(9600);
    EXPECT_EQ(port.write(std::string("ok")), 2u);
}

TEST(SerialPort, ModemLinesUnsupportedByPty) {
    Pty pty;
    Serial port(pty.path(), 9600, Timeout::simpleTimeout(100));
    const std::vector<std::pair<std::string, std::function<void()>>> operations = {
        {"setRTS failed on a call to ioctl(TIOCMBIS): ", [&] { port.setRTS(true); }},
        {"setRTS failed on a call to ioctl(TIOCMBIC): ", [&] { port.setRTS(false); }},
        {"setDTR failed on a call to ioctl(TIOCMBIS): ", [&] { port.setDTR(true); }},
        {"setDTR failed on a call to ioctl(TIOCMBIC): ", [&] { port.setDTR(false); }},
        {"getCTS failed on a call to ioctl(TIOCMGET): ", [&] { port.getCTS(); }},
        {"getDSR failed on a call to ioctl(TIOCMGET): ", [&] { port.getDSR(); }},
        {"getRI failed on a call to ioctl(TIOCMGET): ", [&] { port.getRI(); }},
        {"getCD failed on a call to ioctl(TIOCMGET): ", [&] { port.getCD(); }},
        {"waitForDSR failed on a call to ioctl(TIOCMIWAIT): ", [&] { port.waitForChange(); }},
    };
    for (const auto& operation : operations) {
        std::string text = thrownText<serial::SerialException>(operation.second);
        ASSERT_FALSE(text.empty()) << operation.first;
        // "SerialException <prefix><errno> <strerror> failed."
        std::string head = "SerialException " + operation.first;
        EXPECT_EQ(text.rfind(head, 0), 0u) << text;
        int errnum = std::atoi(text.c_str() + head.size());
        EXPECT_GT(errnum, 0) << text;
        EXPECT_EQ(text.substr(head.size()),
                  std::to_string(errnum) + " " + strerror(errnum) + " failed.");
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
        EXPECT_FALSE(info.description.empty()) << info.port;
        EXPECT_FALSE(info.hardware_id.empty()) << info.port;
        std::string name = serial::detail::basename(info.port);
        std::string idFile = "/sys/class/tty/" + name + "/device/id";
        if (info.port.rfind("/dev/ttyS", 0) == 0) {
            EXPECT_EQ(info.description, name);
            if (!serial::detail::path_exists(idFile)) {
                EXPECT_EQ(info.hardware_id, "n/a");
            }
        }
    }
    // A USB node without a sysfs entry falls back to its name and "n/a".
    EXPECT_EQ(serial::detail::get_sysfs_info("/dev/ttyUSB-ulmet-none"),
              (std::vector<std::string>{"ttyUSB-ulmet-none", "n/a"}));
    EXPECT_EQ(serial::detail::get_sysfs_info("/dev/ttyS-ulmet-none"),
              (std::vector<std::string>{"ttyS-ulmet-none", "n/a"}));
}

TEST(ListPorts, TextHelpers) {
    // Qualified: the C library has a basename() of its own.
    using serial::detail::format;
    using serial::detail::realpath;
    EXPECT_EQ(serial::detail::basename("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(serial::detail::basename("ttyS0"), "ttyS0");
    EXPECT_EQ(serial::detail::basename("/dev/"), "");
    EXPECT_EQ(serial::detail::dirname("/sys/class/tty"), "/sys/class");
    EXPECT_EQ(serial::detail::dirname("/ttyS0"), "/");
    EXPECT_EQ(serial::detail::dirname("ttyS0"), "ttyS0");
    EXPECT_EQ(serial::detail::dirname(""), "");
    EXPECT_EQ(realpath("/ulmet/no/such/path"), "");
    EXPECT_EQ(realpath("/dev/../dev"), "/dev");

    EXPECT_EQ(format("%s-%d", "a", 7), "a-7");
    std::string longText(300, 'x');
    EXPECT_EQ(format("<%s>", longText.c_str()), "<" + longText + ">");
    std::string exact(255, 'y');  // fills the first buffer with its terminator
    EXPECT_EQ(format("%s", exact.c_str()), exact);
    EXPECT_EQ(format("%s", (exact + "z").c_str()), exact + "z");
}

TEST(ListPorts, UsbDescriptionsFromSysfsFiles) {
    using namespace serial::detail;
    testsupport::TempDir dir("ulmet-sysfs");
    auto put = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name)) << text << "\n";
    };
    EXPECT_EQ(read_line(dir.file("missing")), "");
    EXPECT_EQ(usb_sysfs_friendly_name(dir.path()), "");
    put("idVendor", "1234");
    put("idProduct", "5678");
    EXPECT_EQ(usb_sysfs_hw_string(dir.path()), "USB VID:PID=1234:5678 ");
    put("manufacturer", "Acme");
    put("product", "UART");
    EXPECT_EQ(usb_sysfs_friendly_name(dir.path()), "Acme UART ");
    put("serial", "X1");
    EXPECT_EQ(read_line(dir.file("serial")), "X1");
    EXPECT_EQ(usb_sysfs_friendly_name(dir.path()), "Acme UART X1");
    EXPECT_EQ(usb_sysfs_hw_string(dir.path()), "USB VID:PID=1234:5678 SNR=X1");

    // Sorted within a pattern, patterns in order, no match adds nothing.
    put("b1", "");
    put("a2", "");
    put("a1", "");
    EXPECT_EQ(glob({dir.file("a*"), dir.file("none*"), dir.file("b*")}),
              (std::vector<std::string>{dir.file("a1"), dir.file("a2"), dir.file("b1")}));
    EXPECT_TRUE(glob({}).empty());
    EXPECT_TRUE(path_exists(dir.file("a1")));
    EXPECT_FALSE(path_exists(dir.file("zz")));
}
