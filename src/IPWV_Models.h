// Tropospheric models: Saastamoinen zenith delays, Niell mapping
// functions, mean temperature, the wet-delay-to-IPWV factor, the IPWV
// retrieval with and without propagated uncertainties, and a slant-delay
// model. Pure functions: no state, no output.
//
// Units: angles in degrees (latitude inside `position` in radians),
// heights in metres (the height argument of M_d_Niell in kilometres),
// pressure in hPa, temperature in kelvin, relative humidity in percent,
// delays in metres, IPWV in centimetres.
#ifndef ULMET_IPWV_MODELS_H
#define ULMET_IPWV_MODELS_H

#include <string>

// Niell coefficient tables: reference latitudes (degrees); rows 0-2
// hydrostatic averages a, b, c, rows 3-5 their seasonal amplitudes, rows
// 6-8 wet a, b, c, one column per reference latitude; height correction.
extern const double refLatitude[5];
extern const double coef[9][5];
extern const double A_ht[3];

// position: [0] latitude (radians), [1] longitude (unused), [2] height (m).
double zhd_computing(const double* position, double Pressure);
double M_d_Niell(double Elevation, double A_d, double B_d, double C_d, double Height,
                 const double* A_ht);
double M_w_Niell(double Elevation, const double* A_w);
double TM_computing(double T_s);
double K_computing(double TM);

// IPWV (cm) of one minute; -9.99 when Height, Latitude or Elevation is the
// missing-value mark 666666.0. Missing weather readings are replaced by
// standard-atmosphere values.
double niellRT(std::string datatime, double Height, double Latitude, double Elevation,
               double Pressure, double Temperature, double RH);
// The same IPWV and its propagated uncertainty: a new double[2] that the
// caller releases with delete[] ([-9.99, -9.99] for a missing position).
double* niellRT(std::string datatime, double Height, double Latitude, double Elevation,
                double Pressure, double Temperature, double RH, double latitudeErr,
                double heightErr);

// Metres of meridian arc per degree of latitude at `Latitude` (degrees) on
// the WGS 84 ellipsoid: M(lat) * pi / 180, with M the meridian radius of
// curvature a (1 - e^2) / (1 - e^2 sin^2 lat)^1.5; 110574.3 m at the
// equator, 111132 m at 45 degrees, 111694 m at the poles. A north-south
// error in metres divided by it is the latitude error in degrees that the
// nine-argument niellRT expects.
double metresPerDegreeLatitude(double Latitude);

// Slant tropospheric delay (m) written to *ddr_m (modified Hopfield).
void troposphericDelay(double* ddr_m, double sinel, double hsta_km, double p_mb, double t_kel,
                       double hum, double hp_km, double htkel_km, double hhum_km);

double Err_ZHD_computing(const double* position, double Pressure, double Err_Pressure,
                         double heightErr, double latitudeErr);
double Err_e_computing(double RH, double Temperature, double Err_RH, double Err_Temperature);
double Err_ZTD_computing(double Pressure, double Temperature, double e, double Err_Pressure,
                         double Err_Temperature, double Err_e);
double Err_TD_computing(double ZTD, double Elevation, double Err_ZTD, double Err_Elevation);
double Err_M_w_Computing(double Elevation, const double* a_w, double Err_Elevation,
                         const double* Err_a_w);
double Err_M_d_Computing(double Elevation, double Err_Elevation, double A_d, double B_d, double C_d,
                         double Err_A_d, double Err_B_d, double Err_C_d, double Height,
                         double heightErr, const double* A_ht);
double Err_ZWD_Computing(double TD, double ZHD, double Err_ZHD, double Err_TD, double M_w,
                         double M_d, double Err_M_w, double Err_M_d);
double Err_K_computing(double TM, double Err_TM);
double Err_IPWV_computing(double K, double ZWD, double Err_K, double Err_ZWD);

#endif
