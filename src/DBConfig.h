// Connection settings of the retrieval program, and the built-in login of
// every other part that connects without an option file. Every source that
// includes this header gets its own writable copy of the four texts.
#ifndef ULMET_DBCONFIG_H
#define ULMET_DBCONFIG_H

// "localhost" makes the client library use its Unix socket (the default
// one, or the path in MYSQL_UNIX_PORT).
[[maybe_unused]] static char host[10] = "localhost";
[[maybe_unused]] static char database[8] = "UlmetDB";
[[maybe_unused]] static char user[5] = "root";
[[maybe_unused]] static char password[7] = "kzqvwp";

#endif
