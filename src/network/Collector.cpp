#include "network/Collector.h"

#include <errmsg.h>
#include <mysql.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "Metrics.h"
#include "ServiceNotify.h"

namespace collector {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxPacket = 16u << 20;
constexpr std::size_t kBatchRows = 32;
constexpr std::size_t kBatchBytes = 256u << 10;
// How often a kept connection asks the station again which columns it
// has (a station's schema changes when it is upgraded, without a restart).
constexpr std::chrono::minutes kColumnsMaxAge{10};
// More rows than the project's tables have columns many times over.
constexpr std::size_t kMaxColumnRows = 4096;

std::atomic<bool> stopping{false};
void onSignal(int) { stopping = true; }

std::string errorOf(MYSQL* conn) {
    return "error " + std::to_string(mysql_errno(conn)) + ": " + mysql_error(conn);
}

// "timed out after N s: " when a client-side failure came after waiting
// at least `seconds`; "" otherwise.
std::string timedOut(MYSQL* conn, Clock::time_point start, unsigned seconds) {
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    if (mysql_errno(conn) < 2000 || waited + 0.2 < seconds) return "";
    return "timed out after " + std::to_string(std::lround(waited)) + " s: ";
}

bool readOptions(const std::string& path, ClientOptions* options, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string problem;
    if (!parseOptionFile(text.str(), options, &problem)) {
        *error = path + ": " + problem;
        return false;
    }
    return true;
}

// A local connection to the central server (copy or status account).
MYSQL* connectLocal(const ClientOptions& o, const std::string& socket, const char* database,
                    const Limits& limits, std::string* error) {
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr) {
        *error = "out of memory";
        return nullptr;
    }
    unsigned int timeout = limits.connectSeconds, io = limits.readSeconds;
    // An unsigned int: the client library reads that many bytes.
    unsigned int off = 0;
    mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(conn, MYSQL_OPT_READ_TIMEOUT, &io);
    mysql_options(conn, MYSQL_OPT_WRITE_TIMEOUT, &io);
    mysql_options(conn, MYSQL_OPT_LOCAL_INFILE, &off);
    mysql_options(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const std::string& path = !o.socket.empty() ? o.socket : socket;
    if (mysql_real_connect(conn, "localhost", o.user.c_str(), o.password.c_str(), database, 0,
                           path.empty() ? nullptr : path.c_str(), 0) == nullptr) {
        *error = errorOf(conn);
        mysql_close(conn);
        return nullptr;
    }
    return conn;
}

// Shuts a station's socket down when its fetch passes its deadline, so that
// a station that answers byte by byte cannot hold a worker longer.
class Deadlines {
  public:
    Deadlines() : thread_([this] { watch(); }) {}
    ~Deadlines() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    int arm(int fd, Clock::time_point at) {
        std::lock_guard<std::mutex> lock(mutex_);
        int id = next_++;
        armed_[id] = Entry{fd, at, false};
        return id;
    }
    // True when the deadline had passed and the socket was shut down.
    bool disarm(int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = armed_.find(id);
        bool fired = it != armed_.end() && it->second.fired;
        if (it != armed_.end()) armed_.erase(it);
        return fired;
    }

  private:
    struct Entry {
        int fd = -1;
        Clock::time_point at;
        bool fired = false;
    };
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            wake_.wait_for(lock, std::chrono::milliseconds(100));
            Clock::time_point now = Clock::now();
            for (auto& [id, e] : armed_)
                if (!e.fired && now >= e.at) {
                    e.fired = true;
                    ::shutdown(e.fd, SHUT_RDWR);
                }
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<int, Entry> armed_;
    int next_ = 1;
    bool done_ = false;
    std::thread thread_;
};

static_assert((kBatchRows & (kBatchRows - 1)) == 0, "kBatchRows: a power of two");
constexpr std::size_t kBatchSizes = 6;  // statements of 1, 2, 4, ... kBatchRows rows
static_assert(std::size_t{1} << (kBatchSizes - 1) == kBatchRows, "kBatchSizes");

struct CopyTable {
    std::string name;
    std::vector<std::string> columns;
    std::size_t idColumn = 0;
    std::string head, row;  // "INSERT IGNORE INTO t (...) VALUES ", "(?, ...)"
    // The insert of 2^k rows, prepared when first needed: a batch of any
    // size goes in as at most kBatchSizes statements.
    MYSQL_STMT* insert[kBatchSizes] = {};

    MYSQL_STMT* prepared(MYSQL* copy, std::size_t rows, std::string* error) {
        std::size_t k = 0;
        while ((std::size_t{1} << k) < rows) ++k;
        if (insert[k] != nullptr) return insert[k];
        std::string sql = head + row;
        for (std::size_t i = 1; i < rows; ++i) sql += ", " + row;
        MYSQL_STMT* st = mysql_stmt_init(copy);
        if (st == nullptr) {
            *error = "out of memory";
            return nullptr;
        }
        if (mysql_stmt_prepare(st, sql.c_str(), sql.size()) != 0) {
            *error = mysql_stmt_error(st);
            mysql_stmt_close(st);
            return nullptr;
        }
        return insert[k] = st;
    }
};

struct Station {
    std::string name;
    MYSQL* remote = nullptr;
    // The station's own columns ("table.column") of the copy's tables, read
    // on connecting and again every kColumnsMaxAge: a station that runs an
    // earlier schema is asked NULL for a column it does not have yet.
    std::set<std::string> remoteColumns;
    bool remoteColumnsKnown = false;
    Clock::time_point remoteColumnsAt{};
    MYSQL* copy = nullptr;
    std::vector<CopyTable> tables;
    std::vector<std::uint64_t> copyMax;  // the copy's newest id per table
    bool copyMaxKnown = false;
    // Kept between rounds; changed by the worker that holds the station.
    unsigned failures = 0;
    Clock::time_point nextTry{};
    // Shared with the main thread (under the collector's mutex).
    bool busy = false;
    unsigned long round = 0;  // of the fetch queued or running
    bool gone = false;
    std::string state = "new";
    bool everSucceeded = false;
    Clock::time_point lastSuccess{};
    double rows = 0, errors = 0, capped = 0;

    void closeRemote() {
        if (remote != nullptr) mysql_close(remote);
        remote = nullptr;
        remoteColumnsKnown = false;
    }
    void closeCopy() {
        for (CopyTable& t : tables)
            for (MYSQL_STMT* st : t.insert)
                if (st != nullptr) mysql_stmt_close(st);
        tables.clear();
        copyMaxKnown = false;
        if (copy != nullptr) mysql_close(copy);
        copy = nullptr;
    }
    ~Station() {
        closeRemote();
        closeCopy();
    }
};

struct StatusUpdate {
    std::string name, state, error, lastRow;
    std::string when;  // UTC, of the fetch's end
    bool success = false;
    std::uint64_t rows = 0;
};

// UTC now as DATETIME text.
std::string utcNow() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[20];
    (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

std::string quoted(const std::string& identifier) { return "`" + identifier + "`"; }

class Collector {
  public:
    explicit Collector(const Options& options) : o_(options) {}
    int run();

  private:
    const Options& o_;
    ClientOptions central_;
    Deadlines deadlines_;
    std::mutex mutex_;
    std::condition_variable work_, finished_;
    std::deque<Station*> queue_;
    std::map<std::string, std::unique_ptr<Station>> stations_;
    std::size_t pending_ = 0;  // jobs queued or running
    struct Round {
        unsigned long number;
        Clock::time_point start;
        std::size_t pending;
    };
    std::vector<Round> openRounds_;  // those with stations not done yet
    unsigned long roundNumber_ = 0;
    Clock::time_point started_ = Clock::now();
    double roundSeconds_ = 0, rounds_ = 0, skipped_ = 0;
    bool anyFailed_ = false;
    bool quit_ = false;
    // Outcomes waiting for the status writer.
    std::vector<StatusUpdate> statusQueue_;
    std::condition_variable statusWake_;
    bool statusQuit_ = false;

    void worker();
    Outcome fetch(Station& s, std::string* lastRow);
    bool readRemoteColumns(Station& s, std::string* error);
    bool openCopy(Station& s, std::string* error);
    bool openRemote(Station& s, std::string* error);
    void statusWriter();
    bool listStations(MYSQL*& main, std::vector<std::string>* names, std::string* error);
    void writeMetrics();
};

bool Collector::openCopy(Station& s, std::string* error) {
    ClientOptions copy;
    if (!readOptions(o_.stateDir + "/" + s.name + ".copy.cnf", &copy, error)) return false;
    std::string db = "UlmetDB_" + s.name;
    s.copy = connectLocal(copy, o_.socket, db.c_str(), o_.limits, error);
    if (s.copy == nullptr) return false;
    // Tables and columns as the copy has them (made from the project's
    // schema by ulmet-network add); only plain names are used.
    const char* columns =
        "SELECT table_name, column_name FROM information_schema.columns WHERE table_schema = "
        "DATABASE() ORDER BY table_name, ordinal_position";
    std::map<std::string, std::vector<std::string>> found;
    if (mysql_query(s.copy, columns) != 0) {
        *error = errorOf(s.copy);
        s.closeCopy();
        return false;
    }
    if (MYSQL_RES* res = mysql_store_result(s.copy)) {
        while (MYSQL_ROW row = mysql_fetch_row(res))
            if (row[0] != nullptr && row[1] != nullptr) found[row[0]].push_back(row[1]);
        mysql_free_result(res);
    }
    for (const std::string& name : tables()) {
        auto it = found.find(name);
        if (it == found.end()) continue;
        CopyTable t;
        t.name = name;
        bool plain = true, hasId = false;
        for (const std::string& c : it->second) plain = plain && plainIdentifier(c);
        if (!plain) continue;
        t.columns = it->second;
        std::string list, marks;
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            if (t.columns[i] == "id") t.idColumn = i, hasId = true;
            list += (i ? ", " : "") + quoted(t.columns[i]);
            marks += i ? ", ?" : "?";
        }
        if (!hasId) continue;
        t.head = "INSERT IGNORE INTO " + quoted(name) + " (" + list + ") VALUES ";
        t.row = "(" + marks + ")";
        // The one-row insert now: a copy it does not fit is found here.
        std::string why;
        bool prepared = t.prepared(s.copy, 1, &why) != nullptr;
        s.tables.push_back(std::move(t));
        if (!prepared) {
            *error = "preparing the insert into " + name + ": " + why;
            s.closeCopy();
            return false;
        }
    }
    if (s.tables.empty()) {
        *error = db + " holds none of the project's tables";
        s.closeCopy();
        return false;
    }
    mysql_autocommit(s.copy, 0);
    return true;
}

// Which of the copy's columns the station has. The answer only filters
// our own column names (plain identifiers from the project's schema), so a
// station that lies here can at most make us ask it NULL or a column it
// then refuses. At most kMaxColumnRows rows are read.
bool Collector::readRemoteColumns(Station& s, std::string* error) {
    std::set<std::string> wanted;
    for (const CopyTable& t : s.tables)
        for (const std::string& c : t.columns) wanted.insert(t.name + "." + c);
    const char* query =
        "SELECT table_name, column_name FROM information_schema.columns WHERE table_schema = "
        "'UlmetDB'";
    Clock::time_point asked = Clock::now();
    if (mysql_query(s.remote, query) != 0) {
        *error = timedOut(s.remote, asked, o_.limits.readSeconds) +
                 "reading the station's columns: " + errorOf(s.remote);
        return false;
    }
    MYSQL_RES* res = mysql_use_result(s.remote);
    if (res == nullptr || mysql_num_fields(res) != 2) {
        if (res != nullptr) mysql_free_result(res);
        *error = "reading the station's columns: an answer of another shape";
        return false;
    }
    std::set<std::string> found;
    std::size_t rows = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        if (++rows > kMaxColumnRows) break;
        const unsigned long* len = mysql_fetch_lengths(res);
        if (row[0] == nullptr || row[1] == nullptr || len[0] > 64 || len[1] > 64) continue;
        std::string key = std::string(row[0], len[0]) + "." + std::string(row[1], len[1]);
        if (wanted.count(key) != 0) found.insert(std::move(key));
    }
    const bool complete = rows <= kMaxColumnRows && mysql_errno(s.remote) == 0;
    mysql_free_result(res);
    if (!complete) {
        *error = rows > kMaxColumnRows ? "the station lists more columns than any schema has"
                                       : "reading the station's columns: " + errorOf(s.remote);
        return false;
    }
    s.remoteColumns = std::move(found);
    s.remoteColumnsKnown = true;
    s.remoteColumnsAt = Clock::now();
    return true;
}

bool Collector::openRemote(Station& s, std::string* error) {
    ClientOptions st;
    if (!readOptions(o_.stateDir + "/" + s.name + ".station.cnf", &st, error)) return false;
    if (st.host.empty() || st.sslCa.empty()) {
        *error = s.name + ".station.cnf names no host or no ssl-ca";
        return false;
    }
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr) {
        *error = "out of memory";
        return false;
    }
    const Limits& l = o_.limits;
    unsigned int connect = l.connectSeconds, read = l.readSeconds, write = l.readSeconds;
    // A packet larger than this ends the read (the client library reports
    // a lost connection) instead of growing the client's buffer: the most
    // one fetch can make us hold. Rows between the row limit and this are
    // read whole once, then cut with a clear status.
    unsigned long packet =
        static_cast<unsigned long>(std::max<std::size_t>(l.rowBytes, kMaxPacket) + 16384);
    my_bool on = 1;
    // An unsigned int: the client library reads that many bytes (a my_bool
    // here would leave the option on by the bytes after it).
    unsigned int off = 0;
    mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &connect);
    mysql_options(conn, MYSQL_OPT_READ_TIMEOUT, &read);
    mysql_options(conn, MYSQL_OPT_WRITE_TIMEOUT, &write);
    mysql_options(conn, MYSQL_OPT_MAX_ALLOWED_PACKET, &packet);
    // The station cannot ask for one of our files (LOAD DATA LOCAL).
    mysql_options(conn, MYSQL_OPT_LOCAL_INFILE, &off);
    mysql_options(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    // TLS always, the station's certificate checked against the CA and
    // the name or address we connect to.
    mysql_ssl_set(conn, st.sslKey.empty() ? nullptr : st.sslKey.c_str(),
                  st.sslCert.empty() ? nullptr : st.sslCert.c_str(), st.sslCa.c_str(), nullptr,
                  nullptr);
    mysql_options(conn, MYSQL_OPT_SSL_ENFORCE, &on);
    mysql_options(conn, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
    Clock::time_point start = Clock::now();
    if (mysql_real_connect(conn, st.host.c_str(), st.user.c_str(), st.password.c_str(), nullptr,
                           st.port ? st.port : 3306, nullptr, 0) == nullptr) {
        *error = timedOut(conn, start, std::min(l.connectSeconds, l.readSeconds)) +
                 "connecting to " + st.host + ":" + std::to_string(st.port ? st.port : 3306) +
                 ": " + errorOf(conn);
        mysql_close(conn);
        return false;
    }
    s.remote = conn;
    return true;
}

Outcome Collector::fetch(Station& s, std::string* lastRow) {
    Outcome out;
    std::string error;
    if (s.copy == nullptr && !openCopy(s, &error)) {
        out.fail("the station's copy cannot be used: " + error);
        return out;
    }
    // The copy's newest ids: read when the copy's connection is new, then
    // kept up to date from the rows stored (only this collector writes
    // into the copy).
    if (!s.copyMaxKnown) {
        std::string maxes;
        for (const CopyTable& t : s.tables)
            maxes += (maxes.empty() ? "SELECT " : ", ") +
                     std::string("(SELECT IFNULL(MAX(id), 0) FROM ") + quoted(t.name) + ")";
        s.copyMax.assign(s.tables.size(), 0);
        bool read = mysql_query(s.copy, maxes.c_str()) == 0;
        if (read) {
            MYSQL_RES* res = mysql_store_result(s.copy);
            MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr;
            read = row != nullptr;
            for (std::size_t i = 0; read && i < s.copyMax.size(); ++i)
                read = row[i] != nullptr && parseId(row[i], std::strlen(row[i]), &s.copyMax[i]);
            if (res != nullptr) mysql_free_result(res);
            mysql_commit(s.copy);
        }
        if (!read) {
            out.fail("the station's copy cannot be read: " + errorOf(s.copy));
            s.closeCopy();
            return out;
        }
        s.copyMaxKnown = true;
    }
    std::vector<std::uint64_t>& copyMax = s.copyMax;
    std::vector<std::uint64_t> storedMax(s.tables.size(), 0);

    Clock::time_point deadline = Clock::now() + std::chrono::seconds(o_.limits.deadlineSeconds);
    if (s.remote == nullptr && !openRemote(s, &error)) {
        out.fail(error);
        return out;
    }
    int armed = deadlines_.arm(mysql_get_socket(s.remote), deadline);
    Budget budget(o_.limits);
    std::size_t written = 0;  // inserts sent: a transaction to commit
    bool remoteBroken = false, copyBroken = false;
    if (!s.remoteColumnsKnown || Clock::now() - s.remoteColumnsAt > kColumnsMaxAge) {
        if (!readRemoteColumns(s, &error)) {
            if (deadlines_.disarm(armed))
                error = "timed out: the station's fetch took over " +
                        std::to_string(o_.limits.deadlineSeconds) + " s";
            out.fail(error);
            s.closeRemote();
            return out;
        }
    }
    for (std::size_t ti = 0; ti < s.tables.size() && !remoteBroken && !copyBroken; ++ti) {
        CopyTable& t = s.tables[ti];
        std::string list;
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            const bool asked =
                i == t.idColumn || s.remoteColumns.count(t.name + "." + t.columns[i]) != 0;
            list += (i ? ", " : "") + (asked ? quoted(t.columns[i]) : std::string("NULL"));
        }
        std::uint64_t above = fetchAbove(copyMax[ti], o_.limits.overlap);
        std::string query = "SELECT " + list + " FROM UlmetDB." + quoted(t.name) + " WHERE id > " +
                            std::to_string(above) + " ORDER BY id LIMIT " +
                            std::to_string(o_.limits.tableRows);
        Clock::time_point asked = Clock::now();
        if (mysql_real_query(s.remote, query.c_str(), query.size()) != 0) {
            unsigned int code = mysql_errno(s.remote);
            out.fail(timedOut(s.remote, asked, o_.limits.readSeconds) + "reading " + t.name +
                     " from the station: " + errorOf(s.remote));
            // A server's refusal (no such table, column) leaves the
            // connection usable for the other tables.
            if (code >= 2000) remoteBroken = true;
            continue;
        }
        MYSQL_RES* res = mysql_use_result(s.remote);
        if (res == nullptr || mysql_num_fields(res) != t.columns.size()) {
            out.fail("reading " + t.name + " from the station: an answer of another shape");
            if (res != nullptr) mysql_free_result(res);
            remoteBroken = true;
            break;
        }
        std::size_t n = t.columns.size();
        std::uint64_t count = 0, highest = 0;
        bool cut = false;
        // Rows are copied into a small batch (at most kBatchRows rows or
        // about kBatchBytes) and stored with one multi-row INSERT.
        std::vector<std::string> fields;
        std::vector<my_bool> nulls;
        std::size_t buffered = 0, bufferedBytes = 0;
        auto flush = [&]() {
            if (buffered == 0) return true;
            std::vector<MYSQL_BIND> binds(buffered * n);
            std::vector<unsigned long> lengths(buffered * n);
            // The largest statement that fits the rows left: 30 rows go in
            // as 16 + 8 + 4 + 2, not as 30 statements.
            for (std::size_t first = 0, per = kBatchRows; first < buffered; first += per) {
                while (per > buffered - first) per /= 2;
                std::string why;
                MYSQL_STMT* stmt = t.prepared(s.copy, per, &why);
                if (stmt == nullptr) {
                    out.fail("storing into UlmetDB_" + s.name + "." + t.name + ": " + why);
                    return false;
                }
                ++written;
                for (std::size_t k = 0; k < per * n; ++k) {
                    std::string& f = fields[first * n + k];
                    MYSQL_BIND& b = binds[k];
                    b.buffer_type = MYSQL_TYPE_STRING;
                    b.buffer = f.data();
                    b.buffer_length = lengths[k] = f.size();
                    b.length = &lengths[k];
                    b.is_null = &nulls[first * n + k];
                }
                if (mysql_stmt_bind_param(stmt, binds.data()) != 0 ||
                    mysql_stmt_execute(stmt) != 0) {
                    out.fail("storing into UlmetDB_" + s.name + "." + t.name + ": " +
                             mysql_stmt_error(stmt));
                    return false;
                }
                // One warning per row the copy already had; the others are
                // values that did not fit (of a single row: only when it
                // was stored).
                std::uint64_t stored = mysql_stmt_affected_rows(stmt);
                std::uint64_t warnings = mysql_warning_count(s.copy);
                out.rows += stored;
                if (per == 1)
                    out.oddValues += stored == 1 ? warnings : 0;
                else if (warnings > per - stored)
                    out.oddValues += warnings - (per - stored);
            }
            buffered = bufferedBytes = 0;
            fields.clear();
            nulls.clear();
            return true;
        };
        while (MYSQL_ROW row = mysql_fetch_row(res)) {
            unsigned long* len = mysql_fetch_lengths(res);
            std::size_t bytes = 0;
            for (std::size_t i = 0; i < n; ++i) bytes += len[i];
            Budget::Verdict v = budget.take(bytes);
            if (v != Budget::Verdict::Take) {
                out.cap(v == Budget::Verdict::RowTooLarge
                            ? "a row of " + std::to_string(bytes) + " bytes in " + t.name +
                                  " (over " + std::to_string(o_.limits.rowBytes) +
                                  "): the station's answer was cut there"
                            : "the station's answer passed " +
                                  std::to_string(o_.limits.roundBytes) + " bytes this round (in " +
                                  t.name + "): cut there, the rest next round");
                cut = true;
                break;
            }
            ++count;
            std::uint64_t id = 0;
            // (An id that is not a plain number counts for nothing here; the
            // copy's newest is read again with the next copy connection.)
            if (parseId(row[t.idColumn], len[t.idColumn], &id) && id > highest) highest = id;
            for (std::size_t i = 0; i < n; ++i) {
                fields.emplace_back(row[i] != nullptr ? row[i] : "", len[i]);
                nulls.push_back(row[i] == nullptr);
            }
            ++buffered;
            bufferedBytes += bytes;
            if ((buffered == kBatchRows || bufferedBytes >= kBatchBytes) && !flush()) {
                copyBroken = true;
                break;
            }
        }
        if (!copyBroken && !flush()) copyBroken = true;
        storedMax[ti] = highest;
        // The end of the rows without the end of the answer: a read
        // failed, or a row was over the client's packet limit (which the
        // client library may report without an error number).
        bool readFailed = !cut && !copyBroken && (mysql_errno(s.remote) != 0 || !mysql_eof(res));
        if (readFailed) {
            unsigned int code = mysql_errno(s.remote);
            if (code == 0 || code == CR_NET_PACKET_TOO_LARGE || code == 1153)
                out.cap("a row in " + t.name + " over " + std::to_string(o_.limits.rowBytes) +
                        " bytes: the station's answer was cut there");
            else
                out.fail(timedOut(s.remote, asked, o_.limits.readSeconds) + "reading " + t.name +
                         " from the station: " + errorOf(s.remote));
        }
        if (cut || readFailed || copyBroken) {
            // The rest of the answer is not read: the connection goes.
            remoteBroken = true;
        } else {
            mysql_free_result(res);
            res = nullptr;
            if (count < o_.limits.tableRows && highest < copyMax[ti])
                out.odd(idsWentBack(t.name, highest, copyMax[ti]));
        }
        if (res != nullptr) {
            // Freeing a result reads the rest of it: the socket is shut
            // down first, so that nothing more is read.
            bool fired = deadlines_.disarm(armed);
            armed = 0;
            if (fired)
                out.fail("timed out: the station's fetch took over " +
                         std::to_string(o_.limits.deadlineSeconds) + " s");
            ::shutdown(mysql_get_socket(s.remote), SHUT_RDWR);
            mysql_free_result(res);
            s.closeRemote();
        }
    }
    if (armed != 0 && deadlines_.disarm(armed)) {
        out.fail("timed out: the station's fetch took over " +
                 std::to_string(o_.limits.deadlineSeconds) + " s");
        remoteBroken = true;
    }
    if (remoteBroken) s.closeRemote();
    if (out.oddValues > 0) out.odd(oddValuesText(out.oddValues));
    // One commit for the station's rows of the round (a copy connection
    // lost before it: the rows come again next round, by their ids).
    if (!copyBroken && written > 0 && mysql_commit(s.copy) != 0) {
        out.fail("storing into UlmetDB_" + s.name + ": " + errorOf(s.copy));
        copyBroken = true;
    }
    if (copyBroken) {
        s.closeCopy();
        return out;
    }
    for (std::size_t i = 0; i < copyMax.size(); ++i)
        copyMax[i] = std::max(copyMax[i], storedMax[i]);
    if (out.rows > 0) {
        if (mysql_query(s.copy, "SELECT MAX(data) FROM troposphericDelay") == 0) {
            if (MYSQL_RES* res = mysql_store_result(s.copy)) {
                MYSQL_ROW row = mysql_fetch_row(res);
                if (row != nullptr && row[0] != nullptr) *lastRow = row[0];
                mysql_free_result(res);
            }
        }
        mysql_commit(s.copy);
    }
    return out;
}

// The status of every station fetched since the last write, in one
// transaction (one flush of the log, not one per station), every 200 ms and
// once more at the end.
void Collector::statusWriter() {
    MYSQL* conn = nullptr;
    MYSQL_STMT* st = nullptr;
    static const char* kUpdate =
        "UPDATE UlmetNetwork.station_status SET state = ?, last_error = ?, "
        "last_attempt = ?, last_success = IF(?, ?, last_success), "
        "last_row = IFNULL(?, last_row), rows_fetched = ?, rows_total = rows_total + ? "
        "WHERE name = ?";
    for (bool last = false; !last;) {
        std::vector<StatusUpdate> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            statusWake_.wait_for(lock, std::chrono::milliseconds(200));
            last = statusQuit_;
            batch.swap(statusQueue_);
        }
        if (batch.empty()) continue;
        std::string error;
        if (conn == nullptr) {
            conn = connectLocal(central_, o_.socket, nullptr, o_.limits, &error);
            st = conn != nullptr ? mysql_stmt_init(conn) : nullptr;
            if (st != nullptr && mysql_stmt_prepare(st, kUpdate, std::strlen(kUpdate)) != 0) {
                error = mysql_stmt_error(st);
                mysql_stmt_close(st);
                st = nullptr;
            }
            if (conn != nullptr && st == nullptr) {
                mysql_close(conn);
                conn = nullptr;
            }
            if (conn != nullptr) mysql_autocommit(conn, 0);
        }
        bool ok = conn != nullptr;
        for (const StatusUpdate& u : batch) {
            if (!ok) break;
            MYSQL_BIND b[9]{};
            unsigned long len[9]{};
            my_bool null[9]{};
            auto text = [&](int i, const std::string& v, bool isNull) {
                b[i].buffer_type = MYSQL_TYPE_STRING;
                b[i].buffer = const_cast<char*>(v.data());
                b[i].buffer_length = len[i] = v.size();
                b[i].length = &len[i];
                null[i] = isNull;
                b[i].is_null = &null[i];
            };
            long long success = u.success ? 1 : 0;
            unsigned long long rows = u.rows;
            text(0, u.state, false);
            text(1, u.error, u.error.empty());
            text(2, u.when, false);
            b[3].buffer_type = MYSQL_TYPE_LONGLONG;
            b[3].buffer = &success;
            text(4, u.when, false);
            text(5, u.lastRow, u.lastRow.empty());
            b[6].buffer_type = MYSQL_TYPE_LONGLONG;
            b[6].buffer = &rows;
            b[6].is_unsigned = 1;
            b[7] = b[6];
            text(8, u.name, false);
            ok = mysql_stmt_bind_param(st, b) == 0 && mysql_stmt_execute(st) == 0;
            if (!ok) error = mysql_stmt_error(st);
        }
        if (ok && mysql_commit(conn) != 0) {
            error = errorOf(conn);
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr,
                         "ulmet-collector: the status of %zu stations cannot be written: %s\n",
                         batch.size(), error.c_str());
            if (st != nullptr) mysql_stmt_close(st);
            if (conn != nullptr) mysql_close(conn);
            st = nullptr;
            conn = nullptr;
        }
    }
    if (st != nullptr) mysql_stmt_close(st);
    if (conn != nullptr) mysql_close(conn);
}

void Collector::worker() {
    for (;;) {
        Station* s = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [&] { return quit_ || !queue_.empty(); });
            if (queue_.empty()) break;
            s = queue_.front();
            queue_.pop_front();
        }
        std::string lastRow;
        Outcome out = fetch(*s, &lastRow);
        Clock::time_point now = Clock::now();
        if (out.state == "failed") {
            ++s->failures;
            s->nextTry = now + backoff(s->failures);
        } else {
            s->failures = 0;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        statusQueue_.push_back(StatusUpdate{s->name, out.state, out.error, lastRow, utcNow(),
                                            out.state != "failed", out.rows});
        if (out.state != s->state && out.state != "ok")
            std::fprintf(stderr, "ulmet-collector: %s: %s: %s\n", s->name.c_str(),
                         out.state.c_str(), out.error.c_str());
        s->state = out.state;
        s->rows += static_cast<double>(out.rows);
        if (out.state == "failed") {
            s->errors += 1;
            anyFailed_ = true;
        } else {
            s->everSucceeded = true;
            s->lastSuccess = now;
        }
        if (out.state == "capped") s->capped += 1;
        s->busy = false;
        // The duration of a round: from its start until its last station
        // is done (rounds overlap when stations are slow).
        for (auto r = openRounds_.begin(); r != openRounds_.end(); ++r)
            if (r->number == s->round) {
                if (--r->pending == 0) {
                    roundSeconds_ = std::chrono::duration<double>(now - r->start).count();
                    openRounds_.erase(r);
                }
                break;
            }
        if (pending_ > 0 && --pending_ == 0) {
            finished_.notify_all();
            statusWake_.notify_all();
        }
    }
}

bool Collector::listStations(MYSQL*& main, std::vector<std::string>* names, std::string* error) {
    if (main == nullptr) main = connectLocal(central_, o_.socket, nullptr, o_.limits, error);
    if (main == nullptr) return false;
    if (mysql_query(main, "SELECT name FROM UlmetNetwork.stations ORDER BY name") != 0) {
        *error = errorOf(main);
        mysql_close(main);
        main = nullptr;
        return false;
    }
    MYSQL_RES* res = mysql_store_result(main);
    while (MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr)
        if (row[0] != nullptr && validStationName(row[0])) names->push_back(row[0]);
    if (res != nullptr) mysql_free_result(res);
    return true;
}

void Collector::writeMetrics() {
    if (o_.metricsFile.empty()) return;
    RoundFigures r;
    std::vector<StationFigures> figures;
    Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        r.now = static_cast<double>(std::time(nullptr));
        r.roundSeconds = roundSeconds_;
        r.rounds = rounds_;
        r.skipped = skipped_;
        for (auto& [name, s] : stations_) {
            if (s->gone) continue;
            StationFigures f;
            f.name = name;
            f.state = s->state;
            // Never fetched: behind since the collector started.
            f.lagSeconds =
                std::chrono::duration<double>(now - (s->everSucceeded ? s->lastSuccess : started_))
                    .count();
            f.rows = s->rows;
            f.errors = s->errors;
            f.capped = s->capped;
            figures.push_back(f);
        }
    }
    std::string error;
    if (!metrics::writeFile(o_.metricsFile, metricsText(r, figures), &error))
        std::fprintf(stderr, "ulmet-collector: cannot write %s: %s\n", o_.metricsFile.c_str(),
                     error.c_str());
}

int Collector::run() {
    std::string error;
    if (!readOptions(o_.stateDir + "/collector.cnf", &central_, &error)) {
        std::fprintf(stderr, "ulmet-collector: %s (run ulmet-network init on the central server)\n",
                     error.c_str());
        return 1;
    }
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < o_.jobs; ++i) workers.emplace_back([this] { worker(); });
    std::thread statusThread([this] { statusWriter(); });
    MYSQL* main = nullptr;
    bool ready = false;
    int result = 0;
    while (!stopping) {
        Clock::time_point start = Clock::now();
        std::vector<std::string> names;
        bool listed = listStations(main, &names, &error);
        if (!listed) {
            std::fprintf(stderr, "ulmet-collector: the stations cannot be listed: %s\n",
                         error.c_str());
            if (o_.every == 0) {
                result = 1;
                break;
            }
        }
        if (!o_.stations.empty() && listed) {
            std::vector<std::string> chosen;
            for (const std::string& n : o_.stations)
                if (std::find(names.begin(), names.end(), n) != names.end())
                    chosen.push_back(n);
                else
                    std::fprintf(stderr, "ulmet-collector: no station %s in the network\n",
                                 n.c_str());
            names = chosen;
        }
        if (listed) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& [name, s] : stations_)
                s->gone = std::find(names.begin(), names.end(), name) == names.end();
            for (auto it = stations_.begin(); it != stations_.end();)
                it = it->second->gone && !it->second->busy ? stations_.erase(it) : std::next(it);
            rounds_ += 1;
            ++roundNumber_;
            std::size_t queued = 0;
            for (const std::string& name : names) {
                auto& slot = stations_[name];
                if (!slot) {
                    slot = std::make_unique<Station>();
                    slot->name = name;
                }
                Station& s = *slot;
                s.gone = false;
                if (s.busy) {
                    skipped_ += 1;
                    continue;
                }
                if (o_.every != 0 && start < s.nextTry) continue;
                s.busy = true;
                s.round = roundNumber_;
                queue_.push_back(&s);
                ++queued;
            }
            if (queued > 0) openRounds_.push_back(Round{roundNumber_, start, queued});
            pending_ += queued;
        }
        work_.notify_all();
        if (!ready) {
            service::notify("READY=1");
            ready = true;
        }
        if (o_.every == 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            while (pending_ > 0 && !stopping)
                finished_.wait_for(lock, std::chrono::milliseconds(200));
            if (anyFailed_) result = 3;
            lock.unlock();
            writeMetrics();
            break;
        }
        Clock::time_point next = start + std::chrono::seconds(o_.every);
        bool written = false;
        while (!stopping && Clock::now() < next) {
            service::watchdog();
            {
                std::unique_lock<std::mutex> lock(mutex_);
                finished_.wait_for(lock, std::chrono::milliseconds(250));
                if (pending_ == 0 && !written) {
                    lock.unlock();
                    writeMetrics();
                    written = true;
                }
            }
        }
        if (!written) writeMetrics();
    }
    service::notify("STOPPING=1");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        queue_.clear();
    }
    work_.notify_all();
    for (std::thread& t : workers) t.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        statusQuit_ = true;
    }
    statusWake_.notify_all();
    statusThread.join();
    if (main != nullptr) mysql_close(main);
    stations_.clear();
    return result;
}

}  // namespace

int run(const Options& options) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mysql_library_init(0, nullptr, nullptr);
    int status;
    {
        Collector c(options);
        status = c.run();
    }
    mysql_library_end();
    return status;
}

}  // namespace collector
