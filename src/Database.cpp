#include "Database.h"

#include <errmsg.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "DbSettings.h"

namespace {
char kSuccess[] = "SUCCESS";
char kHandleError[] = "201 connET ERROR: connET FAILURE";
char kConnectionError[] = "202 CONNECTION ERROR: CANNOT ACCESS THE SERVER";
char kQueryError[] = "203 DATABASE ERROR: QUERY FAILED";

// Timeouts and a short lock wait on a fresh handle (before connecting).
void setSessionLimits(MYSQL* conn) {
    unsigned int connectTimeout = Database::kConnectTimeoutSeconds;
    unsigned int readTimeout = Database::kReadTimeoutSeconds;
    unsigned int writeTimeout = Database::kWriteTimeoutSeconds;
    mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
    mysql_options(conn, MYSQL_OPT_READ_TIMEOUT, &readTimeout);
    mysql_options(conn, MYSQL_OPT_WRITE_TIMEOUT, &writeTimeout);
    static const std::string lockWait =
        "SET SESSION lock_wait_timeout = " + std::to_string(Database::kLockWaitSeconds) +
        ", innodb_lock_wait_timeout = " + std::to_string(Database::kLockWaitSeconds);
    mysql_options(conn, MYSQL_INIT_COMMAND, lockWait.c_str());
}
}  // namespace

Database::Database()
    : conn(nullptr), result(nullptr), row(nullptr), field(nullptr), lastError(0), connected(false) {
    (void)field;
    std::memset(qbuf, 0, sizeof(qbuf));
}

Database::~Database() { disconnect(); }

int Database::openConnection(const char* host, const char* db, const char* user, const char* pass) {
    if (conn != nullptr) disconnect();
    conn = mysql_init(nullptr);
    if (conn == nullptr) {
        lastError = CR_OUT_OF_MEMORY;
        return 201;
    }
    setSessionLimits(conn);
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

bool Database::canRun() {
    if (conn == nullptr) {
        lastError = CR_SERVER_GONE_ERROR;
        lastMessage = "not connected";
        return false;
    }
    return connected;  // after a failed connection its error stays
}

MYSQL_RES* Database::query(const char* query) {
    free();
    if (!canRun()) return nullptr;
    mysql_query(conn, query);
    result = mysql_store_result(conn);
    lastError = mysql_errno(conn);
    lastMessage = mysql_error(conn);
    return result;
}

bool Database::updateQuery(const char* query) {
    if (!canRun()) return true;
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

Database::Failure Database::classify(unsigned int errorNumber) {
    switch (errorNumber) {
        case 0:
            return Failure::None;
        case 1062:  // ER_DUP_ENTRY: the row is already stored
            return Failure::Duplicate;
        case 1064:  // ER_PARSE_ERROR
        case 1054:  // ER_BAD_FIELD_ERROR (e.g. a bare nan or inf)
        case 1406:  // ER_DATA_TOO_LONG
        case 1264:  // ER_WARN_DATA_OUT_OF_RANGE
        case 1366:  // ER_TRUNCATED_WRONG_VALUE_FOR_FIELD
            return Failure::Condemned;
        default:
            // Client errors (2000-2999: unreachable, lost, timed out) and
            // every server state: missing table (1146), no grant (1142),
            // read-only (1290), lock wait or deadlock (1205, 1213), full
            // (1114, 1021), too many connections (1040), login or
            // database refused (1045, 1049), shutting down, ...
            return Failure::Transient;
    }
}

StoreOutcome storeOutcome(bool failed, unsigned int errorNumber) {
    if (!failed) return StoreOutcome::Stored;
    switch (Database::classify(errorNumber)) {
        case Database::Failure::Duplicate:
            return StoreOutcome::AlreadyStored;
        case Database::Failure::Condemned:
            return StoreOutcome::Rejected;
        default:
            return StoreOutcome::Kept;
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
