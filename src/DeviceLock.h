// One program per serial device: a write lock (fcntl) on the whole device,
// held on a descriptor that stays open until the process ends, so the
// kernel releases it however the process ends.
#ifndef ULMET_DEVICELOCK_H
#define ULMET_DEVICELOCK_H

#include <string>

// Takes the lock on `device`. False when another process holds it;
// `holder` then names it ("PID 123", or "a process of unknown PID"). A
// device that does not open counts as taken: the port opened next reports
// it.
bool lockDevice(const std::string& device, std::string* holder);

#endif
