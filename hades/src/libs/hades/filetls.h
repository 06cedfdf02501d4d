// Path helpers of the support library.
#pragma once

#include <string>

namespace hades {
namespace filetls {

struct path_elements {
  std::string drive;      // "C:" or empty
  std::string directory;  // everything before the last '/', without it
  std::string name;       // last component without its extension
  std::string extension;  // after the last '.' of the last component, without the dot
};

// Backslashes become slashes and runs of slashes collapse into one.
std::string unify_path(const std::string& path);

// Splits a path into drive, directory, name and extension.
path_elements path_split(const std::string& path);

}  // namespace filetls
}  // namespace hades
