#include "RowSpool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "ReceiverValues.h"
#include "gnssFunctions.h"

namespace {
bool writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// The directory of `path`, so that a rename can be made durable.
std::string directoryOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void syncDirectory(const std::string& path) {
    int fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Why the file described by `st` may not be trusted, or "" when it may.
std::string distrust(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return "is not a regular file";
    if (st.st_uid != ::geteuid())
        return "is owned by user " + std::to_string(st.st_uid) + ", not by this user (" +
               std::to_string(::geteuid()) + ")";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
    return "";
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw std::runtime_error("spool file " + path + " " + why +
                             "; it is not read. Check it, then give it to this user with mode "
                             "0600 or move it away.");
}

// Reads "-?[0-9]+" and, with decimals > 0, "." and exactly that many digits.
bool readNumber(const std::string& s, std::size_t& at, int decimals) {
    if (at < s.size() && s[at] == '-') ++at;
    std::size_t digits = at;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
    if (at == digits) return false;
    if (decimals == 0) return true;
    if (at >= s.size() || s[at] != '.') return false;
    ++at;
    for (int i = 0; i < decimals; ++i, ++at)
        if (at >= s.size() || s[at] < '0' || s[at] > '9') return false;
    return true;
}

bool readText(const std::string& s, std::size_t& at, const char* text) {
    std::size_t n = std::strlen(text);
    if (s.compare(at, n, text) != 0) return false;
    at += n;
    return true;
}

// How much of an over-long or rejected line a message shows.
std::string excerpt(const std::string& line) {
    return receiver::printable(line.size() <= 160 ? line : line.substr(0, 160) + "...");
}
}  // namespace

bool RowSpool::isRowStatement(const std::string& line) {
    static const char* const kPrefix =
        "INSERT INTO troposphericDelay (latitude, longitude, height, latitudeErr, longitudeErr, "
        "heightErr, prn, elevation, td, data) VALUES (";
    // Decimals of latitude, longitude, height, the three errors, the
    // satellite number, the elevation and the delay.
    static const int kDecimals[] = {12, 12, 5, 5, 5, 5, 0, 5, 2};
    if (line.size() >= 500) return false;
    std::size_t at = 0;
    if (!readText(line, at, kPrefix)) return false;
    double values[9];
    for (int n = 0; n < 9; ++n) {
        const std::size_t start = at;
        if (!readNumber(line, at, kDecimals[n]) || !readText(line, at, ", ")) return false;
        values[n] = std::strtod(line.c_str() + start, nullptr);
    }
    // 'YYYY-MM-DD HH:MM:SS');
    static const char kTime[] = "'dddd-dd-dd dd:dd:dd');";
    if (line.size() - at != sizeof(kTime) - 1) return false;
    for (std::size_t i = 0; kTime[i] != '\0'; ++i) {
        char c = line[at + i];
        if (kTime[i] == 'd' ? (c < '0' || c > '9') : c != kTime[i]) return false;
    }
    // The same checks as a row made from the receiver's logs.
    if (!isDateTimeText(line.substr(at + 1, 19))) return false;
    const double position[3] = {values[0], values[1], values[2]};
    const double positionErr[3] = {values[3], values[4], values[5]};
    if (values[6] < 1 || values[6] > receiver::kLargestSatelliteNumber) return false;
    return receiver::positionProblem(position, positionErr) == nullptr &&
           receiver::satelliteProblem(static_cast<int32_t>(values[6]), values[7], values[8]) ==
               nullptr;
}

RowSpool::RowSpool(std::string path, std::size_t limit)
    : RowSpool(std::move(path), limit, &RowSpool::isRowStatement) {}

RowSpool::RowSpool(std::string path, std::size_t limit,
                   std::function<bool(const std::string&)> accepts)
    : path_(std::move(path)),
      limit_(limit == 0 ? 1 : limit),
      accepts_(std::move(accepts)),
      written_(0),
      stale_(0),
      failing_(false),
      inode_(0),
      head_(0),
      savedInode_(0),
      savedHead_(0) {}

RowSpool::~RowSpool() { sync(true); }

void RowSpool::check() const {
    if (path_.empty()) return;
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0) {
        if (errno == ENOENT) return;
        refuse(path_, std::string("cannot be examined (") + std::strerror(errno) + ")");
    }
    std::string why = distrust(st);
    if (!why.empty()) refuse(path_, why);
}

std::size_t RowSpool::load() {
    // Only at start-up, before anything is queued.
    if (path_.empty() || !rows_.empty() || stale_ > 0) return 0;
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0) ::close(fd);
        }
    } file{::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        if (errno == ENOENT) return 0;
        refuse(path_, std::string("cannot be opened (") + std::strerror(errno) + ")");
    }
    struct stat st {};
    std::string why = ::fstat(file.fd, &st) != 0 ? std::string("cannot be examined") : distrust(st);
    if (!why.empty()) refuse(path_, why);
    // Lines in front of the recorded head were stored by an earlier run.
    unsigned long long skip = 0;
    if (!readHead(file.fd, &skip)) skip = 0;

    // Line by line: the queue never holds more than the limit, and a line
    // is never longer than the longest statement (over-long lines are kept
    // only in part, for the reject file).
    const std::size_t kLongest = 500;
    std::vector<std::string> rejected;
    std::size_t lines = 0, dropped = 0, rejectedLines = 0;
    const std::size_t kShown = 10;  // rejected lines printed whole; then a count
    std::string line;
    bool overLong = false;
    auto take = [&]() {
        ++lines;  // a blank line is only counted: the rewrite removes it
        if (!line.empty() && (overLong || !accepts_(line))) {
            if (++rejectedLines <= kShown)
                std::cout << "Spool file " << path_ << ": line " << lines
                          << " is not a row of this daemon; it is not run but moved to "
                          << rejectPath() << ": " << excerpt(line) << std::endl;
            rejected.push_back(line);
            if (rejected.size() >= 4096) {
                reject(rejected);
                rejected.clear();
            }
        } else if (!line.empty()) {
            rows_.push_back(line);
            if (rows_.size() > limit_) {
                rows_.pop_front();
                ++dropped;
            }
        }
        line.clear();
        overLong = false;
    };
    char buffer[1 << 16];
    unsigned long long position = 0;
    for (;;) {
        ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i, ++position) {
            if (position < skip) {
                lines += buffer[i] == '\n';
            } else if (buffer[i] == '\n') {
                take();
            } else if (line.size() < kLongest) {
                line += buffer[i];
            } else {
                overLong = true;
            }
        }
    }
    bool cut = !line.empty();
    if (cut) {
        std::cout << "Spool file " << path_ << ": an incomplete last line (a write cut short) is "
                  << "not run but moved to " << rejectPath() << ": " << excerpt(line) << std::endl;
        rejected.push_back(line);
        ++lines;
    }
    if (rejectedLines > kShown) {
        std::cout << "Spool file " << path_ << ": " << rejectedLines
                  << " lines in all are not rows of this daemon; moved to " << rejectPath() << "."
                  << std::endl;
    }
    if (dropped > 0) {
        std::cout << "Spool file " << path_ << ": " << dropped << " rows over the limit of "
                  << limit_ << " kept rows: the oldest are dropped." << std::endl;
    }
    reject(rejected);
    // The queue is the newest part of the file; any other line (over the
    // limit, rejected, blank, cut) goes with a rewrite.
    written_ = rows_.size();
    stale_ = lines - rows_.size();
    inode_ = st.st_ino;
    head_ = 0;
    if (stale_ > 0) sync(true);
    return rows_.size();
}

void RowSpool::popFront() {
    if (rows_.empty()) return;
    if (written_ > 0) head_ += rows_.front().size() + 1;
    rows_.pop_front();
    if (written_ > 0) {
        --written_;
        ++stale_;
    }
}

void RowSpool::push(const std::string& statement) {
    rows_.push_back(statement);
    while (rows_.size() > limit_) {
        std::cout << "Kept rows over the limit of " << limit_
                  << ": the oldest one is dropped: " << rows_.front() << std::endl;
        popFront();
    }
}

void RowSpool::sync(bool exact) {
    if (path_.empty()) {
        written_ = rows_.size();
        stale_ = 0;
        return;
    }
    if (rows_.empty()) {
        if (written_ > 0 || stale_ > 0) {
            // The head first: a head without its file is harmless.
            if (::unlink(headPath().c_str()) != 0 && errno != ENOENT) report("remove");
            if (::unlink(path_.c_str()) != 0 && errno != ENOENT) report("remove");
            syncDirectory(path_);
        }
        written_ = 0;
        stale_ = 0;
        inode_ = head_ = savedInode_ = savedHead_ = 0;
        reportRecovery();
        return;
    }
    // Stale lines are removed once they are as many as the queued ones:
    // each rewrite is paid for by the rows stored or dropped since the
    // last one, and the file holds at most twice the queue.
    if (stale_ > 0 && (exact || stale_ >= rows_.size())) {
        if (rewrite()) {
            reportRecovery();
            return;
        }
    }
    if (written_ < rows_.size()) append(written_);
    // What was stored or dropped since the last sync is not sent again.
    if (inode_ != 0 && (inode_ != savedInode_ || head_ != savedHead_)) writeHead(inode_, head_);
    if (written_ == rows_.size()) reportRecovery();
}

bool RowSpool::append(std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < rows_.size(); ++i) {
        text += rows_[i];
        text += '\n';
    }
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        report("open");
        return false;
    }
    off_t before = ::lseek(fd, 0, SEEK_END);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (before == 0 && !writeHead(st.st_ino, 0))) {
        // A new file: no head of an earlier file of the same inode may
        // skip its lines.
        report("head");
        ::close(fd);
        return false;
    }
    if (before == 0) head_ = 0;
    inode_ = st.st_ino;
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    if (!ok) {
        // No half statement may stay in front of the next append.
        if (before >= 0 && ::ftruncate(fd, before) == 0) ::fsync(fd);
        report("write");
        ::close(fd);
        return false;
    }
    ::close(fd);
    written_ = rows_.size();
    return true;
}

bool RowSpool::rewrite() {
    // A fresh file of this user's only: one left by a run that died
    // mid-rewrite is removed first (unlink never follows a link).
    std::string temporary = path_ + ".tmp";
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        report("rewrite");
        return false;
    }
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        report("open");
        return false;
    }
    bool ok = true;
    std::string chunk;
    for (std::size_t i = 0; i < rows_.size() && ok; ++i) {
        chunk += rows_[i];
        chunk += '\n';
        if (chunk.size() >= (1u << 16) || i + 1 == rows_.size()) {
            ok = writeAll(fd, chunk);
            chunk.clear();
        }
    }
    ok = ok && ::fsync(fd) == 0;
    // The head of the new file before it takes the name: a head that
    // still named an older file of this inode could skip queued lines.
    struct stat st {};
    ok = ok && ::fstat(fd, &st) == 0 && writeHead(st.st_ino, 0);
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        report("rewrite");
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(path_);
    written_ = rows_.size();
    stale_ = 0;
    inode_ = st.st_ino;
    head_ = 0;
    return true;
}

// The head file: "<inode> <offset>\n", fixed width, overwritten in place.
// A failed write removes it (the stale lines are then sent again).
bool RowSpool::writeHead(unsigned long long inode, unsigned long long head) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "%020llu %020llu\n", inode, head);
    int fd = ::open(headPath().c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok =
        fd >= 0 && ::pwrite(fd, text, static_cast<std::size_t>(n), 0) == n && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (ok) {
        savedInode_ = inode;
        savedHead_ = head;
        return true;
    }
    savedInode_ = savedHead_ = 0;
    return ::unlink(headPath().c_str()) == 0 || errno == ENOENT;
}

// The offset recorded for the file open as `fd`, if it is this file's,
// trusted and at the start of a line.
bool RowSpool::readHead(int fd, unsigned long long* head) const {
    struct stat st {
    }, own{};
    int h = ::open(headPath().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (h < 0) return false;
    char text[64] = {0};
    ssize_t n = ::fstat(h, &own) == 0 && distrust(own).empty() ? ::read(h, text, 42) : -1;
    ::close(h);
    unsigned long long inode = 0, offset = 0;
    char end = 0;
    if (n != 42 || std::sscanf(text, "%20llu %20llu%c", &inode, &offset, &end) != 3 ||
        end != '\n' || ::fstat(fd, &st) != 0 || inode != st.st_ino ||
        offset > static_cast<unsigned long long>(st.st_size))
        return false;
    char before = '\n';
    if (offset > 0 && ::pread(fd, &before, 1, static_cast<off_t>(offset - 1)) != 1) return false;
    *head = offset;
    return before == '\n';
}

void RowSpool::reject(const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    int fd =
        ::open(rejectPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) {
        // The spool file keeps them (nothing is queued, so nothing
        // rewrites it) until the reject file can take them.
        rows_.clear();
        throw std::runtime_error("cannot write the reject file " + rejectPath() + " (" +
                                 std::strerror(errno) + ")");
    }
}

// One report at the start of every episode of failed writes, and one at its
// end: rows held in memory only are lost if the daemon stops meanwhile.
void RowSpool::report(const std::string& what) {
    if (failing_) return;
    failing_ = true;
    std::cout << "Spool file " << path_ << ": " << what << " failed (" << std::strerror(errno)
              << "); " << rows_.size() - written_
              << " kept rows are held in memory only, and lost if the daemon stops before the "
                 "file takes them."
              << std::endl;
}

void RowSpool::reportRecovery() {
    if (!failing_) return;
    failing_ = false;
    std::cout << "Spool file " << path_ << ": written again; it holds all " << rows_.size()
              << " kept rows." << std::endl;
}
