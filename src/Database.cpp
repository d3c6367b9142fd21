#include "Database.h"

#include <errmsg.h>

#include <cstdlib>
#include <cstring>

#include "DbSettings.h"

namespace {
char kSuccess[] = "SUCCESS";
char kHandleError[] = "201 connET ERROR: connET FAILURE";
char kConnectionError[] = "202 CONNECTION ERROR: CANNOT ACCESS THE SERVER";
char kQueryError[] = "203 DATABASE ERROR: QUERY FAILED";
}  // namespace

Database::Database()
    : conn(nullptr), result(nullptr), row(nullptr), field(nullptr), lastError(0), connected(false) {
    (void)field;
    std::memset(qbuf, 0, sizeof(qbuf));
}

Database::~Database() {}

int Database::openConnection(const char* host, const char* db, const char* user, const char* pass) {
    if (conn != nullptr) disconnect();
    conn = mysql_init(nullptr);
    if (conn == nullptr) {
        lastError = CR_OUT_OF_MEMORY;
        return 201;
    }
    // The given login, overridden key by key by the option file.
    if (!applyDbSettings(conn, host, db, user, pass, &lastMessage)) {
        // Counted as an unreachable server: nothing was tried.
        lastError = CR_CONNECTION_ERROR;
        return 202;
    }
    if (mysql_real_connect(conn, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0) == nullptr) {
        // The handle stays until the next disconnect or openConnection.
        lastError = mysql_errno(conn);
        lastMessage = mysql_error(conn);
        return 202;
    }
    lastError = 0;
    lastMessage.clear();
    connected = true;
    return 200;
}

bool Database::disconnect() {
    if (conn != nullptr) {
        mysql_close(conn);
        conn = nullptr;
    }
    connected = false;
    free();
    row = nullptr;
    return true;
}

bool Database::free() {
    if (result != nullptr) {
        mysql_free_result(result);
        result = nullptr;
        return true;
    }
    return false;
}

MYSQL_RES* Database::query(const char* query) {
    free();
    if (conn == nullptr) {
        lastError = CR_SERVER_GONE_ERROR;
        lastMessage = "not connected";
        return nullptr;
    }
    if (!connected) return nullptr;  // the failed connection's error stays
    mysql_query(conn, query);
    result = mysql_store_result(conn);
    lastError = mysql_errno(conn);
    lastMessage = mysql_error(conn);
    return result;
}

bool Database::updateQuery(const char* query) {
    if (conn == nullptr) {
        lastError = CR_SERVER_GONE_ERROR;
        lastMessage = "not connected";
        return true;
    }
    if (!connected) return true;  // the failed connection's error stays
    bool failed = mysql_query(conn, query) != 0;
    lastError = failed ? mysql_errno(conn) : 0;
    lastMessage = failed ? mysql_error(conn) : "";
    return failed;
}

MYSQL_ROW Database::firstRow(const char* statement) {
    if (query(statement) == nullptr) return nullptr;
    if (mysql_num_fields(result) == 0) return nullptr;
    row = mysql_fetch_row(result);
    return row;
}

char* Database::stringQuery(const char* statement) {
    MYSQL_ROW r = firstRow(statement);
    char* text = (r != nullptr && r[0] != nullptr) ? strdup(r[0]) : nullptr;
    free();
    row = nullptr;
    return text;
}

int Database::intQuery(const char* statement) {
    MYSQL_ROW r = firstRow(statement);
    int value = (r != nullptr && r[0] != nullptr) ? std::atoi(r[0]) : -1;
    free();
    row = nullptr;
    return value;
}

bool Database::boolQuery(const char* statement) {
    // The result set stays held until free() or disconnect().
    MYSQL_ROW r = firstRow(statement);
    return r != nullptr && r[0] != nullptr;
}

unsigned int Database::errorNumber() const { return lastError; }

const std::string& Database::errorMessage() const { return lastMessage; }

bool Database::isConnectionError(unsigned int errorNumber) {
    switch (errorNumber) {
        case CR_CONNECTION_ERROR:     // 2002: no socket / nothing listening
        case CR_CONN_HOST_ERROR:      // 2003
        case CR_SERVER_GONE_ERROR:    // 2006
        case CR_SERVER_LOST:          // 2013
        case CR_UNKNOWN_HOST:         // 2005
        case CR_IPSOCK_ERROR:         // 2004
        case CR_SOCKET_CREATE_ERROR:  // 2001
        case CR_OUT_OF_MEMORY:        // 2008
        case CR_COMMANDS_OUT_OF_SYNC:
        case 1040:  // ER_CON_COUNT_ERROR: too many connections
        case 1053:  // ER_SERVER_SHUTDOWN
        case 1927:  // ER_CONNECTION_KILLED
            return true;
        default:
            return false;
    }
}

char* dberror(int errorcode) {
    switch (errorcode) {
        case 200:
            return kSuccess;
        case 201:
            return kHandleError;
        case 202:
            return kConnectionError;
        case 203:
            return kQueryError;
        default:
            return nullptr;
    }
}
