// Reading and writing the text files the tools write in tests: whole files,
// lines, CSV cells, and the data rows of a CSV recording.
#pragma once

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qtest {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

inline std::vector<std::string> cells(const std::string& csvLine) {
  std::vector<std::string> result;
  std::istringstream in(csvLine);
  for (std::string cell; std::getline(in, cell, ',');) result.push_back(cell);
  return result;
}

// The numbers of a CSV row.
inline std::vector<double> numbers(const std::string& csvLine) {
  std::vector<double> values;
  for (const auto& cell : cells(csvLine)) values.push_back(std::stod(cell));
  return values;
}

// The lines of text that start with prefix.
inline size_t countLines(const std::string& text, const std::string& prefix) {
  const auto all = lines(text);
  return static_cast<size_t>(std::count_if(
      all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// The lines of a CSV recording that are neither comments (`# ...`) nor the
// column line: one per frame.
inline std::vector<std::string> dataRows(const std::string& csv) {
  std::vector<std::string> rows;
  bool columnLine = true;
  for (auto& line : lines(csv)) {
    if (line.rfind("#", 0) == 0) continue;
    if (columnLine) {
      columnLine = false;
      continue;
    }
    rows.push_back(std::move(line));
  }
  return rows;
}

// The column line of a CSV recording ("time_s,AI-0,..."), or "".
inline std::string columnLine(const std::string& csv) {
  for (const auto& line : lines(csv))
    if (line.rfind("#", 0) != 0) return line;
  return "";
}

// The value of a `# name value` comment line of a CSV recording, or "".
inline std::string commentValue(const std::string& csv, const std::string& name) {
  const std::string prefix = "# " + name + " ";
  for (const auto& line : lines(csv))
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  return "";
}

}  // namespace qtest
