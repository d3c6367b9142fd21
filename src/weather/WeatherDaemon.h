// The weather-sensor daemon: reads NMEA 0183 sentences ($--MDA, $--XDR)
// from a serial line, averages them per minute (WeatherMinute.h) and
// stores one pressure, temperature and humidity row per minute; rows the
// database cannot take wait in a spool file (RowSpool) and are stored
// first when it is back.
//
//   ulmet-weather [--device PATH] [--baud N] [--spool FILE]
//                 [--mda-pressure auto|station|sea-level] [--station-log]
//
// Line: 4800 baud (NMEA 0183), 8 data bits, no parity, one stop bit, no
// flow control, device /dev/ttyUSB1; ULMET_WEATHER_PORT and
// ULMET_WEATHER_BAUD (or the options) choose others. Spool:
// weather-spool.sql in the working directory. --mda-pressure (or
// ULMET_WEATHER_MDA_PRESSURE) says what MDA's barometric pressure is
// (MdaPressure in NmeaWeather.h, default auto). Text from the sensor in
// messages is escaped (receiver::printable). --station-log also appends
// each stored minute to ARDUINO_LOG.TXT ("YYYY-MM-DD HH:MM:SS,P,T,RH",
// an empty field for a quantity without samples).
#ifndef ULMET_WEATHERDAEMON_H
#define ULMET_WEATHERDAEMON_H

#include <string>

// 0 after SIGINT or SIGTERM, 255 on a failure (bad option, device that
// does not open or fails, a second daemon on the device or spool, a spool
// that cannot be trusted).
int runWeatherDaemon(int argc, char** argv);

// The options, as --help and a wrong option print them.
extern const char* const kWeatherUsage;

#endif
