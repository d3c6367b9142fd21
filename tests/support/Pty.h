// A pseudo-terminal pair for tests of serial code: the code under test
// opens the terminal side by its path; the test plays the device on the
// controlling side.
#ifndef ULMET_TEST_PTY_H
#define ULMET_TEST_PTY_H

#include <chrono>
#include <string>

namespace testsupport {

class Pty {
  public:
    // Keeps the terminal side open in raw mode, so the pair survives the
    // code under test closing its descriptor.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& path() const { return path_; }
    // Sends bytes to the terminal side (as if the device had sent them).
    void write(const std::string& data);
    // What the terminal side sent, until it holds `text` or `timeout` passes.
    std::string readUntil(const std::string& text, std::chrono::milliseconds timeout);

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace testsupport

#endif
