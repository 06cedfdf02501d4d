#include "hades/src/libs/hades/stringtls.h"

namespace hades {
namespace stringtls {

std::string replace(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  out.reserve(text.size());
  std::string::size_type pos = 0;
  for (;;) {
    const std::string::size_type hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

}  // namespace stringtls
}  // namespace hades
