// The station database's numbered migrations and the pure decisions about
// them: which migrations the tables of a database already have (for a
// database made before the migration history existed) and which remain to
// be applied, in order. Applying them is Upgrade.h's job.
#ifndef ULMET_SCHEMA_MIGRATIONS_H
#define ULMET_SCHEMA_MIGRATIONS_H

#include <map>
#include <set>
#include <string>
#include <vector>

namespace schema {

// A column as information_schema.columns describes it.
struct Column {
    std::string type;       // COLUMN_TYPE, e.g. "char(19)", "datetime"
    std::string collation;  // COLLATION_NAME, "" for a column without one
    bool nullable = true;
};

// A table as information_schema describes it.
struct Table {
    std::map<std::string, Column> columns;  // by name
    std::set<std::string> indexes;          // index names, PRIMARY included
    std::string engine;                     // "InnoDB", "MyISAM", ...
    std::string collation;                  // the table's default collation
};

// A database: its default collation and the tables present, by name.
struct Shape {
    std::string collation;
    std::map<std::string, Table> tables;
};

// The eight tables of the station's database.
extern const char* const kTables[8];

struct Migration {
    int number;
    const char* name;
    std::vector<std::string> tables;  // the tables it changes
};

// Every migration, numbers ascending from 1 without a gap.
const std::vector<Migration>& migrations();

// The migration of that number, or null.
const Migration* findMigration(int number);

// Whether `table` (null: missing) already has what migration `number`
// gives the table `name`, in a database of default collation
// `databaseCollation`. A migration that does not concern the table is
// had.
bool tableHas(int number, const std::string& name, const Table* table,
              const std::string& databaseCollation);

// The migrations that a database without history already has: those
// that every table they concern has.
std::set<int> presentIn(const Shape& shape);

// The migrations to apply after those in `applied`, in ascending order.
// Empty, with `problem` set, when `applied` holds a number this program
// does not know (the database was upgraded by a newer version).
std::vector<int> pending(const std::set<int>& applied, std::string* problem);

}  // namespace schema

#endif
