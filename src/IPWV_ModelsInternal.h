// The retrieval steps shared by both forms of niellRT, with every working
// value kept, so that the uncertainty form and the tests can read them.
// Not part of the programs' interface: they call niellRT.
#ifndef ULMET_IPWV_MODELS_INTERNAL_H
#define ULMET_IPWV_MODELS_INTERNAL_H

#include <string>

namespace ipwv_internal {

struct NiellRetrieval {
    bool valid;  // false when Height, Latitude or Elevation is missing
    // Weather readings after the standard-atmosphere substitution.
    double Pressure, Temperature, RH;
    double Doy;
    double abs_lat;
    int l;  // latitude band 0-3; -1 below 15 degrees, 4 above 75 degrees
    // Linear interpolation in latitude: value = C1 + C2 * abs_lat.
    double C2_avg[3], C1_avg[3], C2_amp[3], C1_amp[3], C2_w[3], C1_w[3];
    double a_d_avg[3], a_d_amp[3], a_w[3];
    double position[3];  // latitude (rad), 0, height (m)
    double ZHD, e, ZTD;
    double Dmin, w;  // seasonal reference day and cos of the seasonal phase
    double A_d, B_d, C_d;
    double TD, M_w, M_d, HD, ZWD, TM, K, IPWV;
};

// Runs the retrieval; when !valid only `valid` is set and IPWV is -9.99.
NiellRetrieval niellRetrieve(const std::string& datatime, double Height, double Latitude,
                             double Elevation, double Pressure, double Temperature, double RH);

// The uncertainties of the working values of a valid retrieval `r` (the
// steps of the nine-argument niellRT); latitudeErr in degrees, heightErr in
// metres.
struct NiellUncertainty {
    double Err_a_d_avg[3], Err_a_d_amp[3], Err_a_w[3];
    double Err_ZHD, Err_e, Err_ZTD, Err_A_d, Err_B_d, Err_C_d;
    double Err_TD, Err_M_w, Err_M_d, Err_ZWD, Err_TM, Err_K, Err_IPWV;
};
NiellUncertainty niellPropagate(const NiellRetrieval& r, double Elevation, double latitudeErr,
                                double heightErr);

}  // namespace ipwv_internal

#endif
