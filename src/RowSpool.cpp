#include "RowSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

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
}  // namespace

RowSpool::RowSpool(std::string path, std::size_t limit)
    : path_(std::move(path)),
      limit_(limit == 0 ? 1 : limit),
      written_(0),
      stale_(0),
      warned_(false) {}

RowSpool::~RowSpool() { sync(true); }

std::size_t RowSpool::load() {
    // Only at start-up, before anything is queued.
    if (path_.empty() || !rows_.empty() || stale_ > 0) return 0;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return 0;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t lines = 0;
    bool unclean = false;
    std::string::size_type start = 0;
    while (start < content.size()) {
        std::string::size_type end = content.find('\n', start);
        if (end == std::string::npos) {
            std::cout << "Spool file " << path_
                      << ": an incomplete last line is ignored: " << content.substr(start)
                      << std::endl;
            unclean = true;
            break;
        }
        if (end > start) {
            push(content.substr(start, end - start));
            ++lines;
        } else {
            unclean = true;
        }
        start = end + 1;
    }
    // The queue is the newest part of the file; lines dropped over the
    // limit, blank lines and a cut last line are removed by a rewrite.
    written_ = rows_.size();
    stale_ = lines - rows_.size();
    if (unclean && stale_ == 0) stale_ = 1;
    if (stale_ > 0) sync(true);
    return rows_.size();
}

void RowSpool::popFront() {
    if (rows_.empty()) return;
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
            if (::unlink(path_.c_str()) != 0 && errno != ENOENT) report("remove");
            syncDirectory(path_);
        }
        written_ = 0;
        stale_ = 0;
        return;
    }
    // Stale lines are removed once they are a quarter of the queue: each
    // rewrite is paid for by the rows stored since the last one.
    if (stale_ > 0 && (exact || stale_ * 4 >= rows_.size())) {
        if (rewrite()) return;
    }
    if (written_ < rows_.size()) append(written_);
}

bool RowSpool::append(std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < rows_.size(); ++i) {
        text += rows_[i];
        text += '\n';
    }
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        report("open");
        return false;
    }
    off_t before = ::lseek(fd, 0, SEEK_END);
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
    std::string temporary = path_ + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        report("rewrite");
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(path_);
    written_ = rows_.size();
    stale_ = 0;
    return true;
}

void RowSpool::report(const std::string& what) {
    if (warned_) return;
    warned_ = true;
    std::cout << "Spool file " << path_ << ": " << what << " failed (" << std::strerror(errno)
              << "); kept rows are held in memory only." << std::endl;
}
