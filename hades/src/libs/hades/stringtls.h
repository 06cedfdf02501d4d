// String helpers of the support library.
#pragma once

#include <string>

namespace hades {
namespace stringtls {

// Replaces every non-overlapping occurrence of `from` in `text`, scanning left
// to right. An empty `from` leaves the text unchanged.
std::string replace(const std::string& text, const std::string& from, const std::string& to);

}  // namespace stringtls
}  // namespace hades
