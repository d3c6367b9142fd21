// Where the programs' database login comes from: an option file in the
// client library's format, group [ulmet], keys user, password, host, port,
// socket and database. The file is the one named by ULMET_DB_CONFIG, else
// /etc/ulmet/db.cnf when it exists; without a file, or for a key the file
// does not set, the login built into the programs is used.
#ifndef ULMET_DBSETTINGS_H
#define ULMET_DBSETTINGS_H

#include <mysql.h>

#include <string>
#include <utility>
#include <vector>

// The option file in use: ULMET_DB_CONFIG when set and not empty, else
// /etc/ulmet/db.cnf when that exists, else "" (built-in login only).
std::string dbOptionFile();

// "" when the option file in use (if any) can be used; otherwise a message
// that names the file and says what is wrong with it: missing, not a
// regular file, owned by neither root nor the running user, writable by
// group or others, unreadable, a line the client library cannot place (a
// group header without "]" or a setting before the first group), an
// include (!include, !includedir), no group [ulmet], a key of [ulmet] that
// is not one of the six, or a key of another group that is not a known
// harmless client setting. A password in a file every user may read is
// allowed, with a warning (once per process).
std::string dbOptionFileProblem();

// Prepares a fresh handle for mysql_real_connect(conn, NULL, NULL, NULL,
// NULL, 0, NULL, 0): the given login becomes the handle's options and the
// option file, read by the client library while it connects, overrides
// them key by key. False, with the handle untouched and `problem` set,
// when the option file cannot be used.
bool applyDbSettings(MYSQL* conn, const char* host, const char* db, const char* user,
                     const char* pass, std::string* problem);

// The keys that group [ulmet] of the option file in use sets, in the
// file's order, with their values as the client library reads them (one
// pair of surrounding quotes removed, backslash escapes resolved); none
// without a file. False, with no values and `problem` set as by
// dbOptionFileProblem, when the file cannot be used.
using DbOptionValues = std::vector<std::pair<std::string, std::string>>;
bool dbOptionValues(DbOptionValues* values, std::string* problem);

// `value` written as an option-file value that the client library and
// dbOptionValues read back unchanged: double-quoted, with backslash,
// double quote and the control characters the reader resolves escaped.
std::string optionFileValue(const std::string& value);

// For the programs' start: prints the problem of the option file and
// returns false, or returns true when there is none.
bool checkDbSettings();

#endif
