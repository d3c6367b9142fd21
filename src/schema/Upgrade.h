// Brings a station database to the latest migration (Migrations.h) on a
// MariaDB server, keeping every row, and records each migration applied in
// the database's table schema_history (number, name, applied_at in UTC).
//
// A database without that table was made before it existed: its shape,
// read from information_schema, tells which migrations it already has;
// those are recorded, then the rest are applied in order. Every migration
// acts table by table and only where a table lacks what it gives, so a run
// interrupted halfway (statements that change a table's definition cannot
// be rolled back) is finished by the next one; a migration is recorded
// only after every one of its tables has it; one recorded that the tables
// lack (a dump of an older version restored over them) is applied again.
// A row that a new unique key would refuse (every copy of a key's rows
// after the one stored first) and a row without a time are moved whole to
// <table>_duplicates.
#ifndef ULMET_SCHEMA_UPGRADE_H
#define ULMET_SCHEMA_UPGRADE_H

#include <mysql.h>

#include <ostream>
#include <string>

namespace schema {

// Upgrades `database` through the open connection `conn` (an account
// that may create databases and alter tables), telling what it does on
// `out`. Throws std::runtime_error with the reason when a statement fails
// or a table still lacks what a migration gives; nothing after the
// failure is applied or recorded.
void upgrade(MYSQL* conn, const std::string& database, std::ostream& out);

}  // namespace schema

#endif
