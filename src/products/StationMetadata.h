// The station's description, kept in one file the operator edits once:
// identifier, DOMES-style number, receiver and antenna type, position with
// ellipsoidal and above-sea-level heights and the geoid model, the
// barometer's height relative to the antenna and the weather source. The
// export and the web page carry it.
//
// The file is the one named by ULMET_STATION_CONFIG, else
// /etc/ulmet/station.conf when it exists. One "key = value" a line; blank
// lines and lines starting with '#' are ignored; every key at most once:
//
//   id                 station identifier (e.g. a 9-character name)
//   domes              DOMES-style number, when the station has one
//   receiver           receiver type
//   antenna            antenna type (and radome)
//   latitude           degrees north (-90 to 90)
//   longitude          degrees east (-180 to 360)
//   ellipsoidal_height metres above the WGS 84 ellipsoid (antenna reference point)
//   sea_level_height   metres above sea level (same point)
//   geoid_model        the geoid model that links the two heights
//   barometer_height   metres, the barometer's height minus the antenna's
//   weather_source     where the weather readings come from
#ifndef ULMET_STATIONMETADATA_H
#define ULMET_STATIONMETADATA_H

#include <istream>
#include <string>
#include <utility>
#include <vector>

struct StationMetadata {
    // Every field in the order above, under its export name (station_id,
    // domes_number, ...), "" when the file does not set it; derived
    // geoid_undulation_m when both heights are set.
    std::vector<std::pair<std::string, std::string>> fields;
    std::string file;  // the file read, "" when there is none
    std::string value(const std::string& exportName) const;
};

// ULMET_STATION_CONFIG when set and not empty, else /etc/ulmet/station.conf
// when it exists, else "".
std::string stationMetadataFile();

// Reads the lines of a station file into `out` (all fields present, unset
// ones ""). "" or a message naming the line and what is wrong with it: no
// '=', an unknown or repeated key, a control character, a number that is
// not one or lies outside its range.
std::string parseStationMetadata(std::istream& in, StationMetadata* out);

// The metadata of stationMetadataFile(): "" (every field empty without a
// file) or the problem, with the file's name.
std::string loadStationMetadata(StationMetadata* out);

#endif
