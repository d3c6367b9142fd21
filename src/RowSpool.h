// Statements waiting for the database, oldest first, mirrored in a file of
// the working directory (one statement per line) so that they survive a
// restart of the daemon.
//
// The file holds the queue, possibly preceded by lines already stored or
// dropped ("stale" lines); sync() appends what is new (with fsync) and
// rewrites the file (temporary file + rename) once stale lines pile up, so
// a long queue drains in linear time. sync(true) and the destructor make
// the file hold exactly the queue; an empty queue removes the file.
#ifndef ULMET_ROWSPOOL_H
#define ULMET_ROWSPOOL_H

#include <cstddef>
#include <deque>
#include <string>

class RowSpool {
  public:
    // An empty path keeps the queue in memory only.
    RowSpool(std::string path, std::size_t limit);
    ~RowSpool();

    RowSpool(const RowSpool&) = delete;
    RowSpool& operator=(const RowSpool&) = delete;

    // Reads the statements of the file (left by an earlier run) into the
    // queue; returns how many. A last line without its line end (a write
    // cut short) is ignored.
    std::size_t load();

    bool empty() const { return rows_.empty(); }
    std::size_t size() const { return rows_.size(); }
    const std::string& front() const { return rows_.front(); }
    const std::string& path() const { return path_; }

    // Removes the oldest statement (stored, or refused by the server).
    void popFront();
    // Appends a statement; beyond the limit the oldest one is dropped,
    // with a message.
    void push(const std::string& statement);
    // Brings the file up to date; `exact` also removes stale lines.
    void sync(bool exact);

  private:
    std::string path_;
    std::size_t limit_;
    std::deque<std::string> rows_;
    std::size_t written_;  // rows_[0, written_) are in the file
    std::size_t stale_;    // lines in front of them that are no longer queued
    bool warned_;          // a failed file operation has been reported

    bool append(std::size_t from);
    bool rewrite();
    void report(const std::string& what);
};

#endif
