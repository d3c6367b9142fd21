#include "ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>

namespace service {

void notify(const char* state) {
    // A failure to notify is not a failure of the daemon: without a service
    // manager there is no one to tell.
    (void)sd_notify(0, state);
}

void watchdog() {
    using Clock = std::chrono::steady_clock;
    static bool asked = false, enabled = false;
    static Clock::duration every = std::chrono::seconds(1);
    static Clock::time_point last;
    if (!asked) {
        asked = true;
        uint64_t usec = 0;
        enabled = sd_watchdog_enabled(0, &usec) > 0;
        // Four keep-alives per watchdog period, and at most one a second.
        auto quarter = std::chrono::microseconds(usec / 4);
        if (enabled && quarter < every) every = quarter;
    }
    if (!enabled) return;
    Clock::time_point now = Clock::now();
    if (last != Clock::time_point() && now - last < every) return;
    last = now;
    (void)sd_notify(0, "WATCHDOG=1");
}

}  // namespace service
