// Recomputing missed minutes: every minute of a period whose inputs are
// stored (satellite rows at second 00, a pressure, temperature and
// humidity reading) and that has no IPWV row is retrieved again with the
// retrieval program's own code (retrieveMinute) and stored once; the unique
// key on ipwv.data makes a second run, or a run beside the timer's, store
// nothing twice.
#ifndef ULMET_BACKFILL_H
#define ULMET_BACKFILL_H

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

struct BackfillSummary {
    std::size_t missing = 0;    // minutes with inputs and no IPWV row
    std::size_t stored = 0;     // of them, computed and stored now
    std::size_t already = 0;    // stored meanwhile by another run
    std::size_t notStored = 0;  // computed, negative or NaN: not stored, as by the timer's run
    std::size_t failed = 0;     // not computed or not stored (why is printed)
    bool queryFailed = false;   // the minutes could not be listed
};

// The minutes ("YYYY-MM-DD HH:MM:00") of [from, to] (both "YYYY-MM-DD
// HH:MM:SS", seconds included) that have inputs and no IPWV row, oldest
// first. False, with the database's error in `error`, when the list cannot
// be had.
bool minutesWithoutIpwv(const std::string& from, const std::string& to,
                        std::vector<std::string>* minutes, std::string* error);

// Retrieves and stores every such minute. The retrieval's own account of a
// minute is printed to `log` only when the minute fails; each minute's
// outcome is one line when `verbose`.
BackfillSummary backfill(const std::string& from, const std::string& to, bool verbose,
                         std::ostream& log);

#endif
