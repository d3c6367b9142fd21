// Statements waiting for the database, oldest first, mirrored in a file of
// the working directory (one statement per line) so that they survive a
// restart of the daemon.
//
// The file holds the queue, possibly preceded by lines already stored or
// dropped ("stale" lines); sync() appends what is new (with fsync) and
// rewrites the file (temporary file + rename) once the stale lines are as
// many as the queued ones, so that storing, draining and dropping at the
// limit all cost a bounded number of written bytes per row. sync(true) and
// the destructor make the file hold exactly the queue; an empty queue
// removes the file. Between rewrites "<file>.head" records (inode, byte
// offset) of the first queued line, so that a run that dies does not make
// the next one send the stale lines again; a head that does not match the
// file is ignored (the stale lines are then sent again and refused as
// duplicates).
//
// The file is data, not a script: load() takes only lines of the daemon's
// own row shape (isRowStatement) and moves every other line, unrun, to
// "<file>.rejected" (appended). It refuses a file that is not a regular
// file of this user, or that others may write.
#ifndef ULMET_ROWSPOOL_H
#define ULMET_ROWSPOOL_H

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class RowSpool {
  public:
    // An empty path keeps the queue in memory only.
    RowSpool(std::string path, std::size_t limit);
    // A spool of other statements: load() keeps the lines `accepts` takes.
    RowSpool(std::string path, std::size_t limit, std::function<bool(const std::string&)> accepts);
    ~RowSpool();

    RowSpool(const RowSpool&) = delete;
    RowSpool& operator=(const RowSpool&) = delete;

    // Throws std::runtime_error, naming the file, when the file exists and
    // is not a regular file owned by this user, or is writable by group or
    // others: its lines could then be anybody's.
    void check() const;
    // Reads the statements of the file (left by an earlier run) into the
    // queue, keeping the newest `limit` while reading; returns how many are
    // queued. Throws like check(). A last line without its line end (a
    // write cut short), and every line that is not a row statement, are
    // reported and moved to the reject file.
    std::size_t load();

    bool empty() const { return rows_.empty(); }
    std::size_t size() const { return rows_.size(); }
    const std::string& front() const { return rows_.front(); }
    const std::string& path() const { return path_; }
    std::string rejectPath() const { return path_ + ".rejected"; }
    std::string headPath() const { return path_ + ".head"; }

    // Removes the oldest statement (stored, or refused by the server).
    void popFront();
    // Appends a statement; beyond the limit the oldest one is dropped,
    // with a message.
    void push(const std::string& statement);
    // Brings the file up to date; `exact` also removes stale lines.
    void sync(bool exact);
    // Queued rows that are in the file, and those held in memory only
    // (the file could not take them: lost if the process ends now).
    std::size_t inFile() const { return path_.empty() ? 0 : written_; }
    std::size_t inMemoryOnly() const { return path_.empty() ? 0 : rows_.size() - written_; }

    // True for exactly the INSERT into troposphericDelay that
    // format_troposphericDelayQuery builds from values a receiver can
    // report (receiver::positionProblem, satelliteProblem) and a real
    // "YYYY-MM-DD HH:MM:SS" date-time (isDateTimeText).
    static bool isRowStatement(const std::string& line);

  private:
    std::string path_;
    std::size_t limit_;
    std::function<bool(const std::string&)> accepts_;
    std::deque<std::string> rows_;
    std::size_t written_;            // rows_[0, written_) are in the file
    std::size_t stale_;              // lines in front of them that are no longer queued
    bool failing_;                   // in an episode of failed writes (reported)
    unsigned long long inode_;       // of the file as this object last wrote or read it
    unsigned long long head_;        // byte offset of rows_[0] in it (the stale bytes)
    unsigned long long savedInode_;  // what the head file says
    unsigned long long savedHead_;

    bool writeHead(unsigned long long inode, unsigned long long head);
    bool readHead(int fd, unsigned long long* head) const;

    bool append(std::size_t from);
    bool rewrite();
    void reject(const std::vector<std::string>& lines);
    void report(const std::string& what);
    void reportRecovery();
};

#endif
