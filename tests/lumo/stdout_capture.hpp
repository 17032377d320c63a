// Test support: captures what the code under test writes to a standard stream (fd level, so
// printf, write(2) and the trace's console echo are all seen).
#ifndef LUMO_TESTS_STDOUT_CAPTURE_HPP
#define LUMO_TESTS_STDOUT_CAPTURE_HPP

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

class StreamCapture {
 public:
  explicit StreamCapture(int fd = STDOUT_FILENO) : fd_(fd) {
    std::fflush(nullptr);
    char name[] = "/tmp/lumo-capture-XXXXXX";
    tmp_ = mkstemp(name);
    unlink(name);
    saved_ = dup(fd_);
    dup2(tmp_, fd_);
  }
  ~StreamCapture() {
    restore();
    if (tmp_ >= 0) close(tmp_);
  }

  // Stops capturing and returns everything written since construction.
  std::string text() {
    restore();
    std::string out;
    lseek(tmp_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(tmp_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

  // Stops capturing and returns what was written, split into lines without their line ends.
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }
  int fd_;
  int tmp_ = -1;
  int saved_ = -1;
};

#endif
