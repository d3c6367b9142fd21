// The JSON API behind the web pages, without the HTTP server: a request's
// path and query parameters in, a status, content type and body out, so
// that the same answers can be checked without a network. A failure of the
// database is answered with what failed, not how: the server's messages
// and statements go to standard error.
//
//   /api/series   ?period=6h|day|week|month|year | from=T&to=T
//                 [&points=N] [&station=NAME]
//   /api/health   [?station=NAME]
//   /api/stations                         (central server only)
//   /api/export   ?format=csv|json & the period [&station=NAME]
//   /api/station  [?station=NAME]          the station's description
//
// docs/web.md describes the answers. Every parameter is checked before any
// statement is built; a bad one gets 400 (404 for an unknown station or
// path) with {"error": "..."}; a database that cannot be reached, 503.
#ifndef ULMET_WEBAPI_H
#define ULMET_WEBAPI_H

#include <ctime>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>

#include "JsonText.h"

struct WebReply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string filename;  // for a download: the name offered, else ""
    // From handleStreamed, for a download: writes the body instead of
    // `body`; false, with the reason (for the log), when it fails.
    std::function<bool(std::ostream& out, std::string* error)> writer;
};

// The query parameters of a request; a name given twice is kept twice.
using WebParams = std::multimap<std::string, std::string>;

// The longest period a download may cover (each holds a worker and the
// database while it is written): 31 days; ulmet-export writes longer ones.
constexpr long kMaxExportMinutes = 31L * 24 * 60;

// The longest period whose series carries the export's flags and reasons
// (read minute by minute, as a download is): a week.
constexpr long kMaxQualityMinutes = 7L * 24 * 60;

class WebApi {
  public:
    // `network`: a network's central server, whose stations are named by
    // `station`; otherwise the station's own database, and no station name.
    // `stateDir`: on a station, the acquisition daemon's working directory,
    // whose spool and state file give the health figures the database does
    // not have (those of ulmet-status); "" for the database's alone.
    explicit WebApi(bool network, std::string stateDir = "")
        : network_(network), stateDir_(std::move(stateDir)) {}

    WebReply handle(const std::string& path, const WebParams& params, time_t now) const;
    // The same, but a download's body is left to its `writer`, to be sent
    // while it is written: its memory does not grow with the period.
    WebReply handleStreamed(const std::string& path, const WebParams& params, time_t now) const;

    bool network() const { return network_; }

  private:
    bool network_;
    std::string stateDir_;

    WebReply series(const WebParams& params, time_t now) const;
    WebReply health(const WebParams& params, time_t now) const;
    WebReply stations(const WebParams& params, time_t now) const;
    WebReply exportPeriod(const WebParams& params, time_t now) const;
    WebReply stationDescription(const WebParams& params) const;
    // The schema of the station a request names ("" on a station); false
    // with `reply` set to the error answer.
    bool station(const WebParams& params, std::string* schema, std::string* name,
                 WebReply* reply) const;
    // The same, for a request whose only parameter may be the station.
    bool onlyStation(const WebParams& params, std::string* schema, std::string* name,
                     WebReply* reply) const;
};

#endif
