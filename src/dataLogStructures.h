// Records of the three receiver logs that the acquisition daemon parses.
// Plain values; `datatime` is the log's GPS time on the UTC calendar,
// "%Y-%m-%d %H:%M:%S".
#ifndef ULMET_DATALOGSTRUCTURES_H
#define ULMET_DATALOGSTRUCTURES_H

#include <cstdint>
#include <string>
#include <vector>

// #BESTPOSA: antenna position and the receiver's error estimates.
struct bestpos {
    std::string datatime;
    double position[3] = {0.0, 0.0, 0.0};     // latitude, longitude, height
    double positionErr[3] = {0.0, 0.0, 0.0};  // their error estimates
};

// #SATVISA: the satellites kept (entry k of the three lists is one
// satellite). N_Sat_vis is the count the log states, not a bound.
struct satvis {
    std::string datatime;
    int32_t N_Sat_vis = 0;
    std::vector<int32_t> PRN_vis;
    std::vector<double> Elevation;
    std::vector<double> TD;
};

// #SATXYZ2A: satellite numbers and tropospheric delays, in log order.
struct satxyz2 {
    std::string datatime;
    int32_t N_Sat = 0;
    std::vector<int32_t> PRN_xyz;
    std::vector<double> TD;
};

#endif
