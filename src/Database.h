// Connection to the station's MySQL-protocol database.
//
// One object serves one statement: create it, openConnection, run the
// statement, disconnect, delete it. The class never throws and never
// prints; failures come back as result codes, booleans and null results.
#ifndef ULMET_DATABASE_H
#define ULMET_DATABASE_H

#include <mysql.h>

#include <string>

class Database {
  public:
    Database();
    virtual ~Database();  // closes a connection still open

    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // 200 connected, 201 no connection handle, 202 the server refused or
    // could not be reached, or the database option file cannot be used
    // (DbSettings.h). The given login holds for every key that the option
    // file does not set; port and socket default to the client library's
    // (MYSQL_UNIX_PORT selects another socket).
    int openConnection(const char* host, const char* db, const char* user, const char* pass);
    // Closes the connection and releases the result set held; always true.
    bool disconnect();

    // Runs a statement that returns rows; the result set stays held until
    // free() or disconnect(). Null when the statement failed, returned no
    // rows or there is no connection.
    MYSQL_RES* query(const char* query);
    // Runs a statement that returns no rows: true on failure.
    bool updateQuery(const char* query);

    // First column of the first row. stringQuery returns a copy that the
    // caller releases with std::free(), or null when there is no result
    // set, no row or a NULL column; intQuery returns -1 in those cases and
    // boolQuery false.
    char* stringQuery(const char* query);
    int intQuery(const char* query);
    bool boolQuery(const char* query);

    // Releases the result set held: true if there was one.
    bool free();

    // Client error number of the last failed operation of this object
    // (0 when the last one succeeded).
    unsigned int errorNumber() const;

    // What a failure says about a statement that stores a row. Only the
    // errors that condemn the statement itself (it cannot be parsed, names
    // an unknown column, holds a value the column cannot take) make
    // retrying useless; a duplicate key means the row is already there.
    // Every other failure describes the server's state (unreachable, timed
    // out, locked, read-only, table missing, grant missing, full, ...) and
    // the row is kept for a later attempt.
    enum class Failure { None, Condemned, Duplicate, Transient };
    static Failure classify(unsigned int errorNumber);

    // Limits of every connection, so that no call blocks the caller for
    // long: connecting, each read and each write of the client library
    // give up after these many seconds, and the session waits at most
    // kLockWaitSeconds for a table or row lock (a backup's LOCK TABLES or
    // FLUSH TABLES WITH READ LOCK) before the statement fails.
    static constexpr unsigned int kConnectTimeoutSeconds = 3;
    static constexpr unsigned int kReadTimeoutSeconds = 6;
    static constexpr unsigned int kWriteTimeoutSeconds = 6;
    static constexpr unsigned int kLockWaitSeconds = 2;
    // The text of that error: the server's or client library's message, or
    // the option file's problem; empty when the last operation succeeded.
    const std::string& errorMessage() const;

  private:
    MYSQL* conn;
    MYSQL_RES* result;
    MYSQL_ROW row;
    MYSQL_FIELD* field;
    char* qbuf[500]{};
    unsigned int lastError;
    std::string lastMessage;
    bool connected;  // openConnection succeeded and disconnect was not called since

    MYSQL_ROW firstRow(const char* query);
    // True when a statement can be sent; false without a connection (the
    // error of a missing one set, that of a failed one kept).
    bool canRun();
};

// The outcome of one attempt to store a row, from whether its statement
// failed and the error number (the classification above).
enum class StoreOutcome {
    Stored,
    AlreadyStored,  // the table holds this row already
    Rejected,       // the statement itself is refused: retrying cannot help
    Kept,           // the server cannot take it now: the row is kept for later
};
StoreOutcome storeOutcome(bool failed, unsigned int errorNumber);

// Text of a result code of openConnection, or null for an unknown code.
char* dberror(int errorcode);

#endif
