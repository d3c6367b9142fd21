// ulmet-retrieve: recomputes the IPWV of the minutes of a period that have
// their inputs stored and no value (the retrieval did not run or failed),
// with the retrieval program's own code, and stores each once. Safe to run
// again, and beside the timer's runs.
//
//   ulmet-retrieve --from T1 --to T2 [--verbose]
//
// T1 and T2: "YYYY-MM-DD HH:MM[:SS]" (both minutes included). Exit status 0
// when every missing minute was dealt with, 1 when some failed, 2 on a
// usage or database error.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "DbSettings.h"
#include "gnssFunctions.h"
#include "retrieval/Backfill.h"

namespace {

const char kUsage[] =
    "usage: ulmet-retrieve --from 'YYYY-MM-DD HH:MM' --to 'YYYY-MM-DD HH:MM' "
    "[--verbose]\n";

// "YYYY-MM-DD HH:MM[:SS]" as a whole date-time; the end of the period takes
// the whole of its minute.
bool dateTime(std::string text, bool end, std::string* out) {
    if (text.size() == 16) text += end ? ":59" : ":00";
    if (text.size() != 19 || !isDateTimeText(text)) return false;
    *out = text;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string from, to;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--verbose") {
            verbose = true;
        } else if ((arg == "--from" || arg == "--to") && i + 1 < argc) {
            if (!dateTime(argv[++i], arg == "--to", arg == "--from" ? &from : &to)) {
                std::cerr << "ulmet-retrieve: " << arg << " " << argv[i] << " is not a date-time\n"
                          << kUsage;
                return 2;
            }
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (from.empty() || to.empty()) {
        std::cerr << "ulmet-retrieve: --from and --to are required\n" << kUsage;
        return 2;
    }
    if (from > to) {
        std::cerr << "ulmet-retrieve: --from is after --to\n";
        return 2;
    }
    if (!checkDbSettings()) return 2;
    auto start = std::chrono::steady_clock::now();
    BackfillSummary s = backfill(from, to, verbose, std::cout);
    if (s.queryFailed) return 2;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "Minutes without IPWV from %s to %s: %zu; stored now: %zu, already stored: %zu, "
        "not stored (negative or not a number): %zu, failed: %zu (%.1f s)\n",
        from.c_str(), to.c_str(), s.missing, s.stored, s.already, s.notStored, s.failed, seconds);
    return s.failed > 0 ? 1 : 0;
}
