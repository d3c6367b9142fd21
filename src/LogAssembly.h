// Log assembly and row storage of the acquisition daemon: cuts complete
// receiver logs out of the serial byte stream, parses them and stores one
// troposphericDelay row per kept satellite of every visibility log.
#ifndef ULMET_LOGASSEMBLY_H
#define ULMET_LOGASSEMBLY_H

#include <cstddef>
#include <string>

class LogAssembly {
public:
    explicit LogAssembly(double elevCutOff);
    ~LogAssembly();

    LogAssembly(const LogAssembly&) = delete;
    LogAssembly& operator=(const LogAssembly&) = delete;

    // Start-up: rows kept from an earlier run (the database was away) are
    // stored first.
    void start();
    // One pass over the bytes of one read of the acquisition loop.
    void pass(const std::string& tmp_input);
    // Rows still waiting for the database.
    std::size_t keptRows() const;

private:
    double elevCutOff_;
};

#endif
