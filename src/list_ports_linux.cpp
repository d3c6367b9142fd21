#include "list_ports_linux.h"

#include <glob.h>
#include <stdarg.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace serial {
namespace detail {

std::vector<std::string> glob(const std::vector<std::string>& patterns) {
    std::vector<std::string> paths_found;
    if (patterns.empty()) return paths_found;

    glob_t glob_results;
    ::glob(patterns[0].c_str(), 0, nullptr, &glob_results);
    for (size_t i = 1; i < patterns.size(); ++i) {
        ::glob(patterns[i].c_str(), GLOB_APPEND, nullptr, &glob_results);
    }
    for (size_t path_index = 0; path_index < glob_results.gl_pathc; ++path_index) {
        paths_found.push_back(glob_results.gl_pathv[path_index]);
    }
    globfree(&glob_results);
    return paths_found;
}

std::string basename(const std::string& path) {
    size_t pos = path.rfind("/");
    if (pos == std::string::npos) return path;
    return std::string(path, pos + 1, std::string::npos);
}

std::string dirname(const std::string& path) {
    size_t pos = path.rfind("/");
    if (pos == std::string::npos) return path;
    if (pos == 0) return "/";
    return std::string(path, 0, pos);
}

bool path_exists(const std::string& path) {
    struct stat sb {};
    return stat(path.c_str(), &sb) == 0;
}

std::string realpath(const std::string& path) {
    char* real_path = ::realpath(path.c_str(), nullptr);
    std::string result;
    if (real_path != nullptr) {
        result = real_path;
        free(real_path);
    }
    return result;
}

std::string read_line(const std::string& file) {
    std::ifstream ifs(file.c_str(), std::ifstream::in);
    std::string line;
    if (ifs) getline(ifs, line);
    return line;
}

std::string format(const char* format, ...) {
    va_list ap;
    size_t buffer_size_bytes = 256;
    std::string result;

    char* buffer = static_cast<char*>(malloc(buffer_size_bytes));
    if (buffer == nullptr) return result;

    bool done = false;
    unsigned int loop_count = 0;
    while (!done) {
        va_start(ap, format);
        int return_value = vsnprintf(buffer, buffer_size_bytes, format, ap);
        va_end(ap);

        if (return_value < 0) {
            done = true;
        } else if (static_cast<size_t>(return_value) < buffer_size_bytes) {
            result = buffer;
            done = true;
        } else {
            // Too small: grow to the size the text needs and format again.
            buffer_size_bytes = static_cast<size_t>(return_value) + 1;
            char* new_buffer = static_cast<char*>(realloc(buffer, buffer_size_bytes));
            if (new_buffer == nullptr) {
                done = true;
            } else {
                buffer = new_buffer;
            }
        }
        if (++loop_count > 5) done = true;
    }
    free(buffer);
    return result;
}

std::string usb_sysfs_friendly_name(const std::string& sys_usb_path) {
    std::string manufacturer = read_line(sys_usb_path + "/manufacturer");
    std::string product = read_line(sys_usb_path + "/product");
    std::string serial = read_line(sys_usb_path + "/serial");
    if (manufacturer.empty() && product.empty() && serial.empty()) return "";
    return format("%s %s %s", manufacturer.c_str(), product.c_str(), serial.c_str());
}

std::string usb_sysfs_hw_string(const std::string& sysfs_path) {
    std::string serial_number = read_line(sysfs_path + "/serial");
    if (!serial_number.empty()) serial_number = format("SNR=%s", serial_number.c_str());
    std::string vid = read_line(sysfs_path + "/idVendor");
    std::string pid = read_line(sysfs_path + "/idProduct");
    return format("USB VID:PID=%s:%s %s", vid.c_str(), pid.c_str(), serial_number.c_str());
}

std::vector<std::string> get_sysfs_info(const std::string& device_path) {
    std::string device_name = basename(device_path);
    std::string friendly_name;
    std::string hardware_id;
    std::string sys_device_path = format("/sys/class/tty/%s/device", device_name.c_str());

    if (device_name.compare(0, 6, "ttyUSB") == 0) {
        // The USB device lies two levels above the tty's interface.
        sys_device_path = dirname(dirname(realpath(sys_device_path)));
        if (path_exists(sys_device_path)) {
            friendly_name = usb_sysfs_friendly_name(sys_device_path);
            hardware_id = usb_sysfs_hw_string(sys_device_path);
        }
    } else if (device_name.compare(0, 6, "ttyACM") == 0) {
        sys_device_path = dirname(realpath(sys_device_path));
        if (path_exists(sys_device_path)) {
            friendly_name = usb_sysfs_friendly_name(sys_device_path);
            hardware_id = usb_sysfs_hw_string(sys_device_path);
        }
    } else {
        std::string sys_id_path = sys_device_path + "/id";
        if (path_exists(sys_id_path)) hardware_id = read_line(sys_id_path);
    }

    if (friendly_name.empty()) friendly_name = device_name;
    if (hardware_id.empty()) hardware_id = "n/a";

    return {friendly_name, hardware_id};
}

}  // namespace detail

std::vector<PortInfo> list_ports() {
    std::vector<PortInfo> results;
    std::vector<std::string> search_globs = {"/dev/ttyACM*", "/dev/ttyS*", "/dev/ttyUSB*",
                                             "/dev/tty.*", "/dev/cu.*"};
    std::vector<std::string> devices_found = detail::glob(search_globs);
    for (const std::string& device : devices_found) {
        std::vector<std::string> sysfs_info = detail::get_sysfs_info(device);
        PortInfo device_entry;
        device_entry.port = device;
        device_entry.description = sysfs_info[0];
        device_entry.hardware_id = sysfs_info[1];
        results.push_back(device_entry);
    }
    return results;
}

}  // namespace serial
