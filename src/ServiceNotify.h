// Messages to the service manager (systemd's notification socket, named by
// NOTIFY_SOCKET): readiness, stopping and the watchdog's keep-alive. Without
// a service manager every call does nothing.
#ifndef ULMET_SERVICENOTIFY_H
#define ULMET_SERVICENOTIFY_H

namespace service {

// Sends `state` ("READY=1", "STOPPING=1", ...) to the service manager.
void notify(const char* state);

// "WATCHDOG=1", at most once a second, and only when the service manager
// runs a watchdog for this process.
void watchdog();

}  // namespace service

#endif
