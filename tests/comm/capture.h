// Test helpers: standard output capture and temporary files.
#pragma once

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
