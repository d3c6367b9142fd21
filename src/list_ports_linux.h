// Enumeration of the machine's serial ports (device nodes found by name
// patterns, described from the Linux sysfs tree). serial::list_ports()
// itself is declared in serial.h; the helpers below are its building
// blocks, visible for the tests.
#ifndef ULMET_LIST_PORTS_LINUX_H
#define ULMET_LIST_PORTS_LINUX_H

#include <string>
#include <vector>

#include "serial.h"

namespace serial {
namespace detail {

// Paths matching any of the patterns, pattern by pattern, each sorted.
std::vector<std::string> glob(const std::vector<std::string>& patterns);
// The text after the last "/" (the whole path without one).
std::string basename(const std::string& path);
// The text before the last "/"; "/" when that is the first character; the
// whole path without one.
std::string dirname(const std::string& path);
bool path_exists(const std::string& path);
// The canonical absolute path, or "" when it cannot be resolved.
std::string realpath(const std::string& path);
// The first line of a file without its newline ("" when unreadable).
std::string read_line(const std::string& file);
// printf-style formatting into a text ("" when formatting fails).
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "manufacturer product serial" of a USB device directory, or "" when all
// three are missing.
std::string usb_sysfs_friendly_name(const std::string& sys_usb_path);
// "USB VID:PID=vendor:product SNR=serial" of a USB device directory.
std::string usb_sysfs_hw_string(const std::string& sysfs_path);
// {description, hardware identification} of a device node.
std::vector<std::string> get_sysfs_info(const std::string& device_path);

}  // namespace detail
}  // namespace serial

#endif
