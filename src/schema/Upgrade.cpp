#include "schema/Upgrade.h"

#include <mysqld_error.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <vector>

#include "schema/Migrations.h"

namespace schema {
namespace {

const char kHistory[] = "schema_history";

using Row = std::vector<std::optional<std::string>>;

// One connection to the server, statements that fail throwing their text
// and the server's message.
class Session {
  public:
    Session(MYSQL* conn, std::string database) : conn_(conn), db_(std::move(database)) {}

    const std::string& db() const { return db_; }

    // Runs a statement, discarding any rows; the rows it changed.
    unsigned long long exec(const std::string& sql) {
        if (mysql_real_query(conn_, sql.data(), sql.size()) != 0) fail(sql);
        MYSQL_RES* result = mysql_store_result(conn_);
        if (result != nullptr) {
            mysql_free_result(result);
            return 0;
        }
        if (mysql_field_count(conn_) != 0) fail(sql);
        return mysql_affected_rows(conn_);
    }

    // Runs a statement that returns no rows: false when it succeeded, true
    // when it failed with one of `expected`; throws on any other failure.
    bool attempt(const std::string& sql, std::initializer_list<unsigned int> expected) {
        if (mysql_real_query(conn_, sql.data(), sql.size()) == 0) return false;
        for (unsigned int e : expected)
            if (mysql_errno(conn_) == e) return true;
        fail(sql);
    }

    std::vector<Row> rows(const std::string& sql) {
        if (mysql_real_query(conn_, sql.data(), sql.size()) != 0) fail(sql);
        MYSQL_RES* result = mysql_store_result(conn_);
        if (result == nullptr) fail(sql);
        std::vector<Row> all;
        const unsigned int fields = mysql_num_fields(result);
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            const unsigned long* lengths = mysql_fetch_lengths(result);
            Row r;
            for (unsigned int i = 0; i < fields; ++i)
                r.push_back(row[i] == nullptr
                                ? std::nullopt
                                : std::optional<std::string>(std::string(row[i], lengths[i])));
            all.push_back(std::move(r));
        }
        mysql_free_result(result);
        return all;
    }

    // The first column of the first row ("" for none or NULL).
    std::string scalar(const std::string& sql) {
        std::vector<Row> r = rows(sql);
        return r.empty() || r[0].empty() || !r[0][0] ? std::string() : *r[0][0];
    }

    // `text` as a quoted SQL string.
    std::string quote(const std::string& text) {
        std::string out(text.size() * 2 + 1, '\0');
        out.resize(mysql_real_escape_string(conn_, &out[0], text.data(), text.size()));
        return "'" + out + "'";
    }

    // `db`.`table`
    std::string name(const std::string& table) const { return "`" + db_ + "`.`" + table + "`"; }

  private:
    [[noreturn]] void fail(const std::string& sql) {
        throw std::runtime_error(std::string(mysql_error(conn_)) + " (in: " + sql.substr(0, 200) +
                                 ")");
    }
    MYSQL* conn_;
    std::string db_;
};

std::optional<Table> readTable(Session& s, const std::string& table) {
    const std::string where =
        " WHERE table_schema = " + s.quote(s.db()) + " AND table_name = " + s.quote(table);
    std::vector<Row> info = s.rows("SELECT ENGINE, TABLE_COLLATION FROM information_schema.tables" +
                                   where + " AND table_type = 'BASE TABLE'");
    if (info.empty()) return std::nullopt;
    Table t;
    t.engine = info[0][0].value_or("");
    t.collation = info[0][1].value_or("");
    for (const Row& r : s.rows("SELECT COLUMN_NAME, COLUMN_TYPE, COLLATION_NAME, IS_NULLABLE "
                               "FROM information_schema.columns" +
                               where))
        t.columns[r[0].value_or("")] =
            Column{r[1].value_or(""), r[2].value_or(""), r[3].value_or("") == "YES"};
    for (const Row& r :
         s.rows("SELECT DISTINCT INDEX_NAME FROM information_schema.statistics" + where))
        t.indexes.insert(r[0].value_or(""));
    return t;
}

std::string databaseCollation(Session& s) {
    return s.scalar(
        "SELECT DEFAULT_COLLATION_NAME FROM information_schema.schemata WHERE schema_name = " +
        s.quote(s.db()));
}

Shape readShape(Session& s) {
    Shape shape;
    shape.collation = databaseCollation(s);
    for (const char* name : kTables)
        if (std::optional<Table> t = readTable(s, name)) shape.tables[name] = *t;
    return shape;
}

// Moves the rows of `table` that a unique key on `columns` would refuse
// (every copy of a key's rows after the one with the lowest id; NULLs
// count as equal) and, with or without columns, its rows without a time,
// whole to <table>_duplicates, in one transaction. Returns how many moved.
unsigned long long moveAside(Session& s, const std::string& table,
                             const std::vector<std::string>& columns) {
    const std::string t = s.name(table), aside = s.name(table + "_duplicates");
    s.exec("DROP TEMPORARY TABLE IF EXISTS ulmet_moving");
    s.exec("CREATE TEMPORARY TABLE ulmet_moving (id BIGINT UNSIGNED NOT NULL PRIMARY KEY)");
    if (!columns.empty()) {
        std::string list, join;
        for (const std::string& c : columns) {
            list += (list.empty() ? "" : ", ") + c;
            join += " AND t." + c + " <=> f." + c;
        }
        s.exec("INSERT INTO ulmet_moving SELECT t.id FROM " + t + " t JOIN (SELECT " + list +
               ", MIN(id) AS first FROM " + t + " GROUP BY " + list +
               " HAVING COUNT(*) > 1) f ON t.id <> f.first" + join);
    }
    s.exec("INSERT IGNORE INTO ulmet_moving SELECT id FROM " + t + " WHERE data IS NULL");
    if (s.scalar("SELECT COUNT(*) FROM ulmet_moving") == "0") return 0;
    s.exec("CREATE TABLE IF NOT EXISTS " + aside + " LIKE " + t);
    s.exec("START TRANSACTION");
    try {
        s.exec("INSERT INTO " + aside + " SELECT t.* FROM " + t +
               " t JOIN ulmet_moving m ON t.id = m.id");
        const unsigned long long moved =
            s.exec("DELETE t FROM " + t + " t JOIN ulmet_moving m ON t.id = m.id");
        s.exec("COMMIT");
        s.exec("DROP TEMPORARY TABLE ulmet_moving");
        return moved;
    } catch (...) {
        s.exec("ROLLBACK");
        throw;
    }
}

// The original columns of each table, before its id and keys.
std::string originalColumns(const std::string& table) {
    const std::string position =
        "latitude DOUBLE, longitude DOUBLE, height DOUBLE, latitudeErr DOUBLE, "
        "longitudeErr DOUBLE, heightErr DOUBLE, ";
    if (table == "troposphericDelay")
        return position + "prn INT, elevation DOUBLE, td DOUBLE, data DATETIME";
    if (table == "gps") return position + "elevation DOUBLE, data DATETIME";
    return table + "_value DOUBLE, data DATETIME";
}

// Runs one ALTER TABLE of `table` with `clauses`, if there are any.
void alter(Session& s, const std::string& table, const std::vector<std::string>& clauses) {
    if (clauses.empty()) return;
    std::string sql = "ALTER TABLE " + s.name(table);
    for (size_t i = 0; i < clauses.size(); ++i) sql += (i ? ", " : " ") + clauses[i];
    s.exec(sql);
}

void createTable(Session& s, const std::string& table, std::ostream& out) {
    out << "ulmet-db: creating table " << table << std::endl;
    s.exec("CREATE TABLE IF NOT EXISTS " + s.name(table) + " (" + originalColumns(table) +
           ") ENGINE=InnoDB");
}

void rowIdsAndTextTimes(Session& s, const std::string& table, const Table& t,
                        const std::string& collation, std::ostream& out) {
    out << "ulmet-db: upgrading table " << table << " (row ids, date-time text, InnoDB)"
        << std::endl;
    std::vector<std::string> clauses;
    // Every row gets an id in the order the rows were stored (the table's
    // own order).
    if (t.columns.count("id") == 0)
        clauses.push_back(
            "ADD COLUMN id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY FIRST");
    // A time that is NULL cannot stay: such rows go aside first, in a
    // transaction, so on a transactional engine with their ids.
    const bool timeless =
        s.scalar("SELECT COUNT(*) FROM " + s.name(table) + " WHERE data IS NULL") != "0";
    if (timeless) {
        if (t.engine != "InnoDB") clauses.push_back("ENGINE=InnoDB");
        alter(s, table, clauses);
        clauses.clear();
        const unsigned long long moved = moveAside(s, table, {});
        out << "ulmet-db: " << table << ": " << moved << " rows without a time moved to " << table
            << "_duplicates" << std::endl;
    }
    std::optional<Table> now = readTable(s, table);
    if (!now) throw std::runtime_error("table " + table + " vanished");
    auto data = now->columns.find("data");
    if (data == now->columns.end() || data->second.type != "char(19)" ||
        data->second.collation != "utf8mb4_bin" || data->second.nullable)
        clauses.push_back(
            "MODIFY COLUMN data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL");
    if (now->indexes.count("idx_" + table + "_data") == 0 &&
        now->indexes.count("uq_" + table + "_data") == 0)
        clauses.push_back("ADD INDEX idx_" + table + "_data (data)");
    if (now->engine != "InnoDB") clauses.push_back("ENGINE=InnoDB");
    if (now->collation != collation) {
        const std::string charset = s.scalar(
            "SELECT CHARACTER_SET_NAME FROM information_schema.collations WHERE collation_name = " +
            s.quote(collation));
        clauses.push_back("DEFAULT CHARACTER SET = " + charset + " COLLATE = " + collation);
    }
    alter(s, table, clauses);
}

// Gives `table` the unique key `key` on `columns` in place of the plain
// index `replaced` ("" for none), the rows it would refuse moved aside.
void uniqueKey(Session& s, const std::string& table, const Table& t, const std::string& key,
               const std::vector<std::string>& columns, const std::string& replaced,
               std::ostream& out) {
    out << "ulmet-db: upgrading table " << table << " (unique key " << key << ")" << std::endl;
    std::string sql, list;
    bool nulls = false;  // the key takes rows equal but for a NULL; they are moved too
    for (const std::string& c : columns) {
        list += (list.empty() ? "" : ", ") + c;
        nulls = nulls || s.scalar("SELECT EXISTS (SELECT 1 FROM " + s.name(table) + " WHERE " + c +
                                  " IS NULL)") == "1";
    }
    if (t.indexes.count(key) == 0) sql = "ADD UNIQUE KEY " + key + " (" + list + ")";
    if (!replaced.empty() && t.indexes.count(replaced) != 0)
        sql = "DROP INDEX " + replaced + (sql.empty() ? "" : ", " + sql);
    if (sql.empty()) return;
    const std::string alter = "ALTER TABLE " + s.name(table) + " " + sql;
    if (t.indexes.count(key) != 0) {
        s.exec(alter);
        return;
    }
    // Finding the copies means sorting the whole table: the key is tried
    // first, and only its refusal (which changes nothing) sends them aside.
    if (!nulls && !s.attempt(alter, {ER_DUP_ENTRY, ER_DUP_ENTRY_WITH_KEY_NAME})) return;
    const unsigned long long moved = moveAside(s, table, columns);
    if (moved > 0)
        out << "ulmet-db: " << table << ": key " << key << ": " << moved
            << " later copies of a row moved to " << table << "_duplicates" << std::endl;
    s.exec(alter);
}

void addColumns(Session& s, const std::string& table, const Table& t,
                const std::vector<std::pair<std::string, std::string>>& columns, std::string after,
                std::ostream& out) {
    std::string sql;
    for (const auto& [column, type] : columns) {
        if (t.columns.count(column) == 0)
            sql += (sql.empty() ? " ADD COLUMN " : ", ADD COLUMN ") + column + " " + type +
                   " AFTER " + after;
        after = column;
    }
    if (sql.empty()) return;
    out << "ulmet-db: upgrading table " << table << " (new columns)" << std::endl;
    s.exec("ALTER TABLE " + s.name(table) + sql);
}

// Gives `table` (as it is now, null when missing) what migration `number`
// gives it.
void applyTo(Session& s, int number, const std::string& table, const Table* t,
             const std::string& collation, std::ostream& out) {
    if (number == 1) {
        createTable(s, table, out);
        return;
    }
    if (t == nullptr) throw std::runtime_error("table " + table + " is missing");
    switch (number) {
        case 2:
            rowIdsAndTextTimes(s, table, *t, collation, out);
            break;
        case 3:
            addColumns(s, table, *t, {{"ipwv_sigma", "DOUBLE NULL"}}, "ipwv_value", out);
            break;
        case 4:
            uniqueKey(s, table, *t, "uq_troposphericDelay_data_prn", {"data", "prn"}, "", out);
            break;
        case 5:
        case 7:
            uniqueKey(s, table, *t, "uq_" + table + "_data", {"data"}, "idx_" + table + "_data",
                      out);
            break;
        case 6:
            addColumns(s, table, *t,
                       {{"elevation", "DOUBLE NULL"},
                        {"prn", "INT NULL"},
                        {"satellites", "INT NULL"},
                        {"pressure", "DOUBLE NULL"},
                        {"temperature", "DOUBLE NULL"},
                        {"humidity", "DOUBLE NULL"}},
                       "ipwv_sigma", out);
            break;
        default:
            throw std::logic_error("migration " + std::to_string(number) + " has no steps");
    }
}

std::string numbers(const std::set<int>& set) {
    std::string text;
    for (int n : set) text += (text.empty() ? "" : ", ") + std::to_string(n);
    return text.empty() ? "none" : text;
}

}  // namespace

void upgrade(MYSQL* conn, const std::string& database, std::ostream& out) {
    if (database.empty() || database.find_first_of("`'\\") != std::string::npos)
        throw std::runtime_error("unusable database name '" + database + "'");
    Session s(conn, database);
    if (s.scalar("SELECT GET_LOCK(" + s.quote("ulmet-db-upgrade " + database) + ", 0)") != "1")
        throw std::runtime_error("another upgrade of " + database + " is running");
    s.exec("CREATE DATABASE IF NOT EXISTS `" + database + "`");
    s.exec("USE `" + database + "`");  // the temporary table of moveAside lives there
    const std::string history = s.name(kHistory);
    const bool known = s.scalar(
                           "SELECT COUNT(*) FROM information_schema.tables WHERE "
                           "table_schema = " +
                           s.quote(database) + " AND table_name = " + s.quote(kHistory)) == "1";
    const std::set<int> present = presentIn(readShape(s));
    if (!known) {
        // Made before the history: what its tables have is recorded as
        // applied. A run cut before the records are written only makes the
        // next one try migrations that find nothing to do.
        s.exec("CREATE TABLE IF NOT EXISTS " + history +
               " (number INT UNSIGNED NOT NULL PRIMARY KEY, name VARCHAR(64) NOT NULL, "
               "applied_at DATETIME NOT NULL) ENGINE=InnoDB");
        for (int n : present)
            s.exec("INSERT IGNORE INTO " + history + " VALUES (" + std::to_string(n) + ", " +
                   s.quote(findMigration(n)->name) + ", UTC_TIMESTAMP())");
        if (!present.empty())
            out << "ulmet-db: " << database << " has no migration history; its tables have "
                << "migrations " << numbers(present) << " (recorded)" << std::endl;
    }
    std::set<int> applied;
    for (const Row& r : s.rows("SELECT number FROM " + history))
        applied.insert(std::stoi(r[0].value_or("0")));
    // Tables can fall behind their history: a dump of an older version
    // restored over the database, a table dropped or changed by hand. A
    // recorded migration that the tables lack is applied again.
    for (auto n = applied.begin(); n != applied.end();) {
        const Migration* m = findMigration(*n);
        if (m == nullptr || present.count(*n) != 0) {
            ++n;
            continue;
        }
        out << "ulmet-db: migration " << m->number << " (" << m->name
            << ") is recorded but the tables lack it: applying it again" << std::endl;
        s.exec("DELETE FROM " + history + " WHERE number = " + std::to_string(*n));
        n = applied.erase(n);
    }
    std::string problem;
    const std::vector<int> left = pending(applied, &problem);
    if (!problem.empty()) throw std::runtime_error(database + ": " + problem);
    for (int number : left) {
        const Migration& m = *findMigration(number);
        out << "ulmet-db: migration " << m.number << " (" << m.name << ")" << std::endl;
        const std::string collation = databaseCollation(s);
        const auto started = std::chrono::steady_clock::now();
        for (const std::string& table : m.tables) {
            std::optional<Table> t = readTable(s, table);
            if (tableHas(number, table, t ? &*t : nullptr, collation)) continue;
            applyTo(s, number, table, t ? &*t : nullptr, collation, out);
            t = readTable(s, table);
            if (!tableHas(number, table, t ? &*t : nullptr, collation))
                throw std::runtime_error("table " + table + " still lacks migration " +
                                         std::to_string(number) + " (" + m.name + ")");
        }
        s.exec("INSERT INTO " + history + " VALUES (" + std::to_string(number) + ", " +
               s.quote(m.name) + ", UTC_TIMESTAMP())");
        const auto took = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - started);
        if (took.count() > 0)
            out << "ulmet-db: migration " << m.number << " took " << took.count() << " s"
                << std::endl;
    }
    out << "ulmet-db: " << database << " is at migration " << migrations().back().number << " ("
        << migrations().back().name << ")" << (left.empty() ? ", nothing to do" : "") << std::endl;
    s.exec("DO RELEASE_LOCK(" + s.quote("ulmet-db-upgrade " + database) + ")");
}

}  // namespace schema
