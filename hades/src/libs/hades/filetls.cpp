#include "hades/src/libs/hades/filetls.h"

#include "hades/src/libs/hades/stringtls.h"

namespace hades {
namespace filetls {

std::string unify_path(const std::string& path) {
  std::string p = stringtls::replace(path, "\\", "/");
  while (p.find("//") != std::string::npos) p = stringtls::replace(p, "//", "/");
  return p;
}

path_elements path_split(const std::string& path) {
  path_elements e;
  std::string rest = unify_path(path);
  if (rest.find(':') == 1) {
    e.drive = rest.substr(0, 2);
    rest.erase(0, 2);
  }
  const std::string::size_type slash = rest.rfind('/');
  if (slash != std::string::npos) {
    e.directory = rest.substr(0, slash);
    rest.erase(0, slash + 1);
  }
  const std::string::size_type dot = rest.rfind('.');
  if (dot != std::string::npos) {
    e.name = rest.substr(0, dot);
    e.extension = rest.substr(dot + 1);
  } else {
    e.name = rest;
  }
  return e;
}

}  // namespace filetls
}  // namespace hades
