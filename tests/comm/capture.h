// Test helpers: standard output capture, a terminal on standard output and
// temporary files.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

// Redirects std::cout (where the console sink and the colour switches write)
// into a string for its lifetime.
class CoutCapture {
 public:
  CoutCapture() : old_(std::cout.rdbuf(buf_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(old_); }
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;
  std::string text() const { return buf_.str(); }

 private:
  std::ostringstream buf_;
  std::streambuf* old_;
};

// The same for std::cerr.
class CerrCapture {
 public:
  CerrCapture() : old_(std::cerr.rdbuf(buf_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(old_); }
  CerrCapture(const CerrCapture&) = delete;
  CerrCapture& operator=(const CerrCapture&) = delete;
  std::string text() const { return buf_.str(); }

 private:
  std::ostringstream buf_;
  std::streambuf* old_;
};

// Puts a pseudo-terminal (or, with terminal = false, /dev/null) on the file
// descriptor `fd` (standard output or error) for its lifetime, so that code
// asking whether it writes to a terminal gets a known answer. Text written
// through std::cout and std::cerr still goes to their stream buffers.
class TerminalOn {
 public:
  TerminalOn(int fd, bool terminal) : fd_(fd) {
    if (terminal) {
      master_ = posix_openpt(O_RDWR | O_NOCTTY);
      if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
      const char* name = ptsname(master_);
      if (name == nullptr) return;
      other_ = open(name, O_RDWR | O_NOCTTY);
    } else {
      other_ = open("/dev/null", O_WRONLY);
    }
    if (other_ < 0) return;
    std::fflush(nullptr);
    saved_ = dup(fd_);
    if (saved_ >= 0) dup2(other_, fd_);
  }
  ~TerminalOn() {
    std::fflush(nullptr);
    if (saved_ >= 0) {
      dup2(saved_, fd_);
      close(saved_);
    }
    if (other_ >= 0) close(other_);
    if (master_ >= 0) close(master_);
  }
  TerminalOn(const TerminalOn&) = delete;
  TerminalOn& operator=(const TerminalOn&) = delete;
  bool active() const { return saved_ >= 0; }

 private:
  int fd_;
  int master_ = -1;
  int other_ = -1;
  int saved_ = -1;
};

// Number of (possibly overlapping) occurrences of `needle` in `hay`.
inline size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

// A file name in a private temporary directory, removed afterwards.
class TempFile {
 public:
  TempFile() {
    char dir[] = "/tmp/qelomsr-comm-XXXXXX";
    dir_ = mkdtemp(dir) ? dir : "/tmp";
    path_ = dir_ + "/out.txt";
  }
  ~TempFile() {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  std::string contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string dir_;
  std::string path_;
};
