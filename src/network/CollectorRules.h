// The collector's decisions that need no server: its options, the client
// option files it reads, what a station's answer may cost per round, the
// texts of the status and the metrics. The parts that talk to servers are
// in Collector.h.
#ifndef ULMET_NETWORK_COLLECTORRULES_H
#define ULMET_NETWORK_COLLECTORRULES_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace collector {

// The project's tables that a station's copy holds, in fetch order.
const std::vector<std::string>& tables();

// Limits of one station's fetch. Rows arrive one at a time and are stored
// at once: whatever a station sends, a worker holds at most one row.
struct Limits {
    unsigned connectSeconds = 5;         // TCP connect and the TLS handshake
    unsigned readSeconds = 10;           // each read of the station's answer
    unsigned deadlineSeconds = 20;       // the whole fetch of a round
    std::size_t rowBytes = 65536;        // one row (the project's rows are a few hundred bytes)
    std::size_t tableRows = 5000;        // rows per table and round
    std::size_t roundBytes = 32u << 20;  // bytes per station and round
    unsigned overlap = 50;               // fetched again below the copy's newest id
};

// What the collector was asked to do (ulmet-collector's arguments).
struct Options {
    std::string stateDir = "/var/lib/ulmet-network";
    std::string socket;       // the central server's; empty: the client's default
    std::string metricsFile;  // empty: none
    unsigned every = 0;       // 0: one round, then exit
    unsigned jobs = 4;
    std::vector<std::string> stations;  // empty: every station of UlmetNetwork.stations
    Limits limits;
};
// Parses argv[1..]; false with a message in `error` on a bad argument.
// "--help" gives false with an empty error.
bool parseArguments(const std::vector<std::string>& args, Options* options, std::string* error);
std::string usage();

// The [client] group of a MariaDB client option file.
struct ClientOptions {
    std::string host, user, password, socket, database;
    std::string sslCa, sslCert, sslKey;
    unsigned port = 0;
    bool ssl = false, verifyServerCert = false;
    unsigned connectTimeout = 0;
};
// Reads the keys this tool writes (host, port, user, password, socket,
// ssl, ssl-ca, ssl-cert, ssl-key, ssl-verify-server-cert,
// connect-timeout); other groups and unknown keys are skipped. False with
// a message on a malformed line or value.
bool parseOptionFile(const std::string& text, ClientOptions* options, std::string* error);

// Station names become account and database names.
bool validStationName(const std::string& name);
// A table's or column's name as the copy reports it: plain letters,
// digits and '_' only (anything else is not asked for).
bool plainIdentifier(const std::string& name);

// Text from elsewhere (a station's server, an error) made fit to store and
// print: control characters become spaces, at most `max` bytes, cut at a
// character boundary.
std::string cleanText(const std::string& text, std::size_t max = 200);

// Wait before the next try after `failures` failed fetches in a row:
// nothing after none, then 1, 2, 4, 8, 16, at most 30 s.
std::chrono::seconds backoff(unsigned failures);

// The first id fetched again: `overlap` below the copy's newest.
std::uint64_t fetchAbove(std::uint64_t copyMax, unsigned overlap);

// A station's newest id as it answers it: digits only, at most 19.
bool parseId(const char* text, std::size_t length, std::uint64_t* id);

// The station's newest id below the copy's means its ids started again
// (table recreated, backup restored): its new rows up to the copy's
// newest id are not fetched. The text for the status, or "" when not.
std::string idsWentBack(const std::string& table, std::uint64_t stationMax, std::uint64_t copyMax);

// What one station's answer has cost so far in a round.
class Budget {
  public:
    explicit Budget(const Limits& limits) : limits_(limits) {}
    enum class Verdict { Take, RowTooLarge, RoundBytesSpent };
    // A row of `bytes` bytes: take it, or stop (and why).
    Verdict take(std::size_t bytes);
    std::size_t bytes() const { return bytes_; }

  private:
    Limits limits_;
    std::size_t bytes_ = 0;
};

// The state of one station after a fetch, for UlmetNetwork.station_status:
// "ok", "odd" (rows stored, some values did not fit or ids went back),
// "capped" (the answer was cut at a limit), "failed".
struct Outcome {
    std::string state = "ok";
    std::string error;  // for last_error; "" when ok
    std::uint64_t rows = 0;
    std::uint64_t oddValues = 0;
    // A worse state's text comes first (the earlier text after it); of
    // equal ones, the first.
    void fail(const std::string& text);
    void cap(const std::string& text);
    void odd(const std::string& text);
};
// The text of `oddValues` values that did not fit, as the status says it.
std::string oddValuesText(std::uint64_t oddValues);

// The metrics file: per station and per round.
struct StationFigures {
    std::string name;
    std::string state;
    double lagSeconds = -1;  // since the last fetch that did not fail; -1: unknown
    double rows = 0;         // rows stored since the collector started
    double errors = 0;       // failed fetches since the collector started
    double capped = 0;       // fetches cut at a limit
};
struct RoundFigures {
    double now = 0;
    double roundSeconds = 0;
    double rounds = 0;
    double skipped = 0;  // station fetches skipped: still busy from before
};
std::string metricsText(const RoundFigures& round, const std::vector<StationFigures>& stations);

}  // namespace collector

#endif
