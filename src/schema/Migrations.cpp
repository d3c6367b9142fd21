#include "schema/Migrations.h"

namespace schema {

const char* const kTables[8] = {"troposphericDelay", "gps",      "ipwv",     "pressure",
                                "temperature",       "humidity", "radiance", "raingauge"};

namespace {

const char* const kWeather[] = {"pressure", "temperature", "humidity"};

bool hasColumn(const Table& t, const char* column) { return t.columns.count(column) != 0; }
bool hasIndex(const Table& t, const std::string& index) { return t.indexes.count(index) != 0; }

// Row ids and the date-time text: the id column, `data` as binary-collated
// UTF-8 text of 19 characters that is never NULL, an index on it (the plain
// one, or the unique key that replaced it), InnoDB, and the table's default
// collation that of the database.
bool hasRowIdsAndTextTimes(const std::string& name, const Table& t,
                           const std::string& databaseCollation) {
    auto data = t.columns.find("data");
    return hasColumn(t, "id") && data != t.columns.end() && data->second.type == "char(19)" &&
           data->second.collation == "utf8mb4_bin" && !data->second.nullable &&
           (hasIndex(t, "idx_" + name + "_data") || hasIndex(t, "uq_" + name + "_data")) &&
           t.engine == "InnoDB" && t.collation == databaseCollation;
}

// A unique key on the time that replaced the plain index.
bool hasUniqueTime(const std::string& name, const Table& t) {
    return hasIndex(t, "uq_" + name + "_data") && !hasIndex(t, "idx_" + name + "_data");
}

}  // namespace

const std::vector<Migration>& migrations() {
    static const std::vector<Migration> all = {
        {1, "tables", {kTables, kTables + 8}},
        {2, "row-ids-and-text-times", {kTables, kTables + 8}},
        {3, "ipwv-uncertainty", {"ipwv"}},
        {4, "delay-unique-key", {"troposphericDelay"}},
        {5, "ipwv-unique-key", {"ipwv"}},
        {6, "ipwv-provenance", {"ipwv"}},
        {7, "weather-unique-keys", {kWeather, kWeather + 3}},
    };
    return all;
}

const Migration* findMigration(int number) {
    for (const Migration& m : migrations())
        if (m.number == number) return &m;
    return nullptr;
}

bool tableHas(int number, const std::string& name, const Table* table,
              const std::string& databaseCollation) {
    const Migration* m = findMigration(number);
    if (m == nullptr) return false;
    bool concerned = false;
    for (const std::string& t : m->tables) concerned = concerned || t == name;
    if (!concerned) return true;
    if (table == nullptr) return false;
    const Table& t = *table;
    switch (number) {
        case 1:
            return true;
        case 2:
            return hasRowIdsAndTextTimes(name, t, databaseCollation);
        case 3:
            return hasColumn(t, "ipwv_sigma");
        case 4:
            return hasIndex(t, "uq_troposphericDelay_data_prn");
        case 5:
        case 7:
            return hasUniqueTime(name, t);
        case 6:
            for (const char* c :
                 {"elevation", "prn", "satellites", "pressure", "temperature", "humidity"})
                if (!hasColumn(t, c)) return false;
            return true;
        default:
            return false;
    }
}

std::set<int> presentIn(const Shape& shape) {
    std::set<int> present;
    for (const Migration& m : migrations()) {
        bool all = true;
        for (const std::string& name : m.tables) {
            auto t = shape.tables.find(name);
            all = all && tableHas(m.number, name, t == shape.tables.end() ? nullptr : &t->second,
                                  shape.collation);
        }
        if (all) present.insert(m.number);
    }
    return present;
}

std::vector<int> pending(const std::set<int>& applied, std::string* problem) {
    problem->clear();
    for (int n : applied)
        if (findMigration(n) == nullptr) {
            *problem = "the database has migration " + std::to_string(n) +
                       ", unknown to this program (latest " +
                       std::to_string(migrations().back().number) +
                       "): it was upgraded by a newer version";
            return {};
        }
    std::vector<int> left;
    for (const Migration& m : migrations())
        if (applied.count(m.number) == 0) left.push_back(m.number);
    return left;
}

}  // namespace schema
