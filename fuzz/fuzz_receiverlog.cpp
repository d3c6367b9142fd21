// Fuzzes the receiver log parsers with every name and both constructors.
//
// Input: one selector byte, then a satellite-positions log text, a newline
// and the log text under test. The positions log is parsed first and joined
// with the visibility log, as the daemon does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ReceiverLog.h"

namespace {
const char* const kNames[] = {"#BESTPOSA", "#SATVISA", "#SATXYZ2A", "#VERSIONA"};
const double kCutOffs[] = {30.0, 0.0, 90.0, -10.0};

void check(bool condition) {
    if (!condition) std::abort();
}

void checkSatvis(const satvis& v, bool joined) {
    check(v.PRN_vis.size() == v.Elevation.size());
    check(joined ? v.TD.size() == v.PRN_vis.size() : v.TD.empty());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The visibility parser without join prints its progress.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string::size_type newline = text.find('\n');
    std::string positions = newline == std::string::npos ? std::string() : text.substr(0, newline);
    std::string log = newline == std::string::npos ? text : text.substr(newline + 1);
    const char* name = kNames[selector & 3];
    double cut = kCutOffs[(selector >> 2) & 3];

    ReceiverLog xyz("#SATXYZ2A", positions, cut);
    const satxyz2& s = xyz.satxyz2Data;
    check(s.PRN_xyz.size() == s.TD.size() || s.PRN_xyz.size() == s.TD.size() + 1);

    ReceiverLog first(name, log, cut);
    checkSatvis(first.satvisData, false);
    ReceiverLog second(name, log, s, cut);
    checkSatvis(second.satvisData, true);
    check(second.bestposData.datatime.empty() && second.satxyz2Data.datatime.empty());
    for (double e : second.satvisData.Elevation) check(e >= cut);
    return 0;
}
