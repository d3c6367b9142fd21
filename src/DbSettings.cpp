#include "DbSettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

const char kDefaultFile[] = "/etc/ulmet/db.cnf";
const char kGroup[] = "ulmet";

std::string trim(const std::string& text) {
    const char* space = " \t\r\n\f\v";
    std::string::size_type first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool isDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Keys that may stand outside [ulmet]: the client library reads [client],
// [client-server] and [client-mariadb] as well, where a login key would
// override ours and plugin-dir=, default-auth= or local-infile= would load
// code or files. Only these, which change neither the login nor what the
// client may load, are accepted there ('_' counts as '-').
bool knownOutsideGroup(std::string key) {
    static const char* const keys[] = {"default-character-set",
                                       "ssl",
                                       "ssl-ca",
                                       "ssl-capath",
                                       "ssl-cert",
                                       "ssl-key",
                                       "ssl-cipher",
                                       "ssl-crl",
                                       "ssl-crlpath",
                                       "tls-version",
                                       "ssl-verify-server-cert"};
    for (char& c : key)
        if (c == '_') c = '-';
    for (const char* k : keys)
        if (key == k) return true;
    return false;
}

// A value as the client library takes it: a trailing comment cut, one pair
// of surrounding quotes removed, the escapes \b \t \n \r \s (space) \" \' and \\ resolved.
std::string unquote(std::string value) {
    // A '#' outside quotes starts a comment, as in the client library.
    char quote = 0;
    bool escaped = false;
    for (std::string::size_type i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if ((c == '\'' || c == '"') && !escaped) {
            if (quote == 0)
                quote = c;
            else if (quote == c)
                quote = 0;
        } else if (quote == 0 && c == '#') {
            value = trim(value.substr(0, i));
            break;
        }
        escaped = quote != 0 && c == '\\' && !escaped;
    }
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    std::string out;
    for (std::string::size_type i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        switch (next) {
            case 'b':
                out += '\b';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 's':
                out += ' ';
                break;
            case '"':
            case '\'':
            case '\\':
                out += next;
                break;
            default:
                out += '\\', out += next;
        }
    }
    return out;
}

// The client library reads the file itself while it connects, but skips a
// file it cannot open, stops quietly at a line it cannot place and falls
// back to the built-in login without our group: the checks below make
// those cases an error. A misspelt key of our group would be skipped as
// well, so only the six keys are accepted there. Includes would make the
// library read files nobody checked. `password` tells whether our group
// sets one; `values`, when given, receives the keys of our group with
// their values.
std::string contentProblem(std::istream& in, bool* password, DbOptionValues* values = nullptr) {
    static const char* const keys[] = {"user", "password", "host", "port", "socket", "database"};
    bool inGroup = false, anyGroup = false, ourGroup = false;
    std::string raw, group;
    for (int number = 1; std::getline(in, raw); ++number) {
        const std::string line = trim(raw);
        const std::string where = " (line " + std::to_string(number) + ")";
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '!') return "includes other files (" + line.substr(0, 40) + ")" + where;
        if (line[0] == '[') {
            std::string::size_type close = line.find(']');
            if (close == std::string::npos) return "group header without ']'" + where;
            anyGroup = true;
            group = trim(line.substr(1, close - 1));
            inGroup = group == kGroup;
            ourGroup = ourGroup || inGroup;
            continue;
        }
        if (!anyGroup) return "setting before the first [group]" + where;
        std::string::size_type equals = line.find('=');
        const std::string key = trim(line.substr(0, equals));
        const std::string value =
            equals == std::string::npos ? "" : unquote(trim(line.substr(equals + 1)));
        if (!inGroup) {
            if (!knownOutsideGroup(key))
                return "key '" + key + "' in [" + group + "] (only [" + kGroup +
                       "] may hold a login or client setting)" + where;
            continue;
        }
        bool known = false;
        for (const char* k : keys) known = known || key == k;
        if (!known) return "unknown key '" + key + "' in [" + kGroup + "]" + where;
        if (key == "port" && !isDigits(value)) return "port is not a number" + where;
        if (key == "password") *password = true;
        if (values != nullptr) values->emplace_back(key, value);
    }
    if (!ourGroup) return std::string("no [") + kGroup + "] group";
    return std::string();
}

// "" when the option file at `path` ("" for none) can be used; otherwise
// what is wrong with it, naming the file. `values` as for contentProblem.
std::string problemOf(const std::string& path, DbOptionValues* values = nullptr) {
    if (path.empty()) return std::string();
    const std::string prefix = "database option file " + path + ": ";
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return prefix + std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return prefix + "not a regular file";
    // Whoever may change the file chooses the login and the server.
    if (info.st_uid != 0 && info.st_uid != geteuid())
        return prefix + "owned by neither root nor the user running this program";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return prefix + "writable by group or others";
    std::ifstream in(path);
    if (!in.is_open()) return prefix + std::strerror(errno);
    bool password = false;
    std::string problem = contentProblem(in, &password, values);
    if (problem.empty() && in.bad()) problem = "cannot be read";
    if (!problem.empty()) return prefix + problem;
    static bool warned = false;
    if (password && (info.st_mode & S_IROTH) != 0 && !warned) {
        warned = true;
        std::cout << "Warning: " << prefix << "holds a password that every user may read"
                  << std::endl;
    }
    return problem;
}

}  // namespace

std::string dbOptionFile() {
    const char* named = std::getenv("ULMET_DB_CONFIG");
    if (named != nullptr && *named != '\0') return named;
    struct stat info {};
    if (stat(kDefaultFile, &info) == 0) return kDefaultFile;
    return std::string();
}

std::string dbOptionFileProblem() { return problemOf(dbOptionFile()); }

bool applyDbSettings(MYSQL* conn, const char* host, const char* db, const char* user,
                     const char* pass, std::string* problem) {
    // The file is looked up once: the one checked is the one read.
    const std::string path = dbOptionFile();
    *problem = problemOf(path);
    if (!problem->empty()) return false;
    mysql_optionsv(conn, MARIADB_OPT_HOST, host);
    mysql_optionsv(conn, MARIADB_OPT_SCHEMA, db);
    mysql_optionsv(conn, MARIADB_OPT_USER, user);
    mysql_optionsv(conn, MARIADB_OPT_PASSWORD, pass);
    // No statement of the programs reads a client file: the server may not
    // ask for one (LOAD DATA LOCAL).
    unsigned int localInfile = 0;
    mysql_optionsv(conn, MYSQL_OPT_LOCAL_INFILE, &localInfile);
    if (!path.empty()) {
        // Read by the client library in mysql_real_connect; it also reads
        // the groups [client], [client-server] and [client-mariadb].
        mysql_optionsv(conn, MYSQL_READ_DEFAULT_FILE, path.c_str());
        mysql_optionsv(conn, MYSQL_READ_DEFAULT_GROUP, kGroup);
    }
    return true;
}

std::string optionFileValue(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        switch (c) {
            case '\\':
            case '"':
                out += '\\', out += c;
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

bool dbOptionValues(DbOptionValues* values, std::string* problem) {
    values->clear();
    *problem = problemOf(dbOptionFile(), values);
    if (problem->empty()) return true;
    values->clear();
    return false;
}

bool checkDbSettings() {
    const std::string problem = dbOptionFileProblem();
    if (problem.empty()) return true;
    std::cout << "\n" << problem << "\n" << std::endl;
    return false;
}
