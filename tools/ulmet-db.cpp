// ulmet-db: the station database's upgrade and the database option file
// as the programs read it, for the operator's scripts.
//
//   ulmet-db upgrade [--socket PATH] [--database NAME]
//   ulmet-db options [--client-file FILE]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "DBConfig.h"
#include "DbSettings.h"
#include "schema/Upgrade.h"

namespace {

int usage() {
    std::cerr << "usage: ulmet-db upgrade [--socket PATH] [--database NAME]\n"
                 "       ulmet-db options [--client-file FILE]\n";
    return 2;
}

// The server's root account: through the socket's authentication of the
// system's root first, then with the programs' built-in password.
MYSQL* adminLogin(const char* socket) {
    for (const char* pass :
         {static_cast<const char*>(nullptr), static_cast<const char*>(password)}) {
        MYSQL* conn = mysql_init(nullptr);
        if (conn == nullptr) return nullptr;
        unsigned int localInfile = 0, timeout = 10;
        mysql_optionsv(conn, MYSQL_OPT_LOCAL_INFILE, &localInfile);
        mysql_optionsv(conn, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        if (mysql_real_connect(conn, "localhost", "root", pass, nullptr, 0, socket, 0) != nullptr)
            return conn;
        mysql_close(conn);
    }
    return nullptr;
}

int upgradeCommand(int argc, char** argv) {
    const char* socket = nullptr;
    std::string db = database;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc)
            socket = argv[++i];
        else if (arg == "--database" && i + 1 < argc)
            db = argv[++i];
        else
            return usage();
    }
    MYSQL* conn = adminLogin(socket);
    if (conn == nullptr) {
        std::cerr << "ulmet-db: cannot log in to the MariaDB server as root"
                  << (socket ? std::string(" through ") + socket : std::string()) << std::endl;
        return 1;
    }
    try {
        schema::upgrade(conn, db, std::cout);
    } catch (const std::exception& e) {
        std::cerr << "ulmet-db: upgrade of " << db << " failed: " << e.what()
                  << "\n  Every migration recorded in " << db
                  << ".schema_history is complete; running this again resumes the rest."
                  << std::endl;
        mysql_close(conn);
        return 1;
    }
    mysql_close(conn);
    return 0;
}

// The keys of [ulmet], in the order they are printed.
const char* const kKeys[] = {"user", "password", "database", "host", "port", "socket"};

// The value of `key` that the client library takes: the last the file
// gives; null when it gives none.
const std::string* lastValue(const DbOptionValues& values, const char* key) {
    const std::string* value = nullptr;
    for (const auto& kv : values)
        if (kv.first == key) value = &kv.second;
    return value;
}

int optionsCommand(int argc, char** argv) {
    const char* clientFile = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--client-file") == 0 && i + 1 < argc)
            clientFile = argv[++i];
        else
            return usage();
    }
    DbOptionValues values;
    std::string problem;
    // The warning about a readable password goes with the messages, not
    // with the settings printed.
    std::streambuf* settings = std::cout.rdbuf(std::cerr.rdbuf());
    const bool usable = dbOptionValues(&values, &problem);
    std::cout.rdbuf(settings);
    if (!usable) {
        std::cerr << problem << std::endl;
        return 1;
    }
    if (clientFile == nullptr) {
        for (const char* key : kKeys)
            if (const std::string* value = lastValue(values, key))
                std::cout << key << "=" << *value << "\n";
        return 0;
    }
    // The login for the mariadb client: the file's keys, the built-in
    // login for user, password and database where it sets none.
    std::string text = "[client]\n";
    for (const char* key : kKeys) {
        const std::string* value = lastValue(values, key);
        const std::string builtIn = std::strcmp(key, "user") == 0       ? user
                                    : std::strcmp(key, "password") == 0 ? password
                                    : std::strcmp(key, "database") == 0 ? database
                                                                        : "";
        if (value == nullptr && builtIn.empty()) continue;
        text += std::string(key) + "=" + optionFileValue(value ? *value : builtIn) + "\n";
    }
    const int fd = open(clientFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || fchmod(fd, 0600) != 0 ||
        write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        close(fd) != 0) {
        std::cerr << "ulmet-db: cannot write " << clientFile << ": " << std::strerror(errno)
                  << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "upgrade") return upgradeCommand(argc, argv);
    if (command == "options") return optionsCommand(argc, argv);
    return usage();
}
