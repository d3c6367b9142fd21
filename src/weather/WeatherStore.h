// Storing weather readings: the statements of format_query (pressure,
// temperature, humidity), sent each on a connection of its own with the
// programs' login (DbSettings.h), and the outcome that decides whether a
// queued statement is kept for later.
#ifndef ULMET_WEATHERSTORE_H
#define ULMET_WEATHERSTORE_H

#include <string>

#include "Database.h"

// True for exactly the text format_query builds for tables 0 to 2 from a
// finite value and a "YYYY-MM-DD HH:MM:SS" date-time: the only lines a
// weather spool file may replay.
bool isWeatherRowStatement(const std::string& line);
// The same check, also giving the statement's table index and date-time.
bool weatherRowKey(const std::string& line, int* table, std::string* datatime);

// Runs one INSERT on a fresh connection, unless its table already holds a
// row of its date-time (AlreadyStored). `message` gets the database's text
// on failure.
StoreOutcome storeWeatherStatement(const std::string& statement, std::string* message);

// On an open connection: is a row of table `table` (0 to 2) stamped exactly
// `datatime` there? 1 yes, 0 no, -1 the look-up failed (no SELECT grant,
// server gone).
int weatherRowPresent(Database& db, int table, const std::string& datatime);

#endif
