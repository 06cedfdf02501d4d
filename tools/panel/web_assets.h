// The page's files (tools/panel/web), built into the tool.
#pragma once

#include <cstddef>
#include <vector>

namespace qpanel {

struct WebAsset {
  const char* path;  // "/index.html", "/vendor/uplot/uPlot.iife.min.js", ...
  const char* contentType;
  const unsigned char* data;
  size_t size;
};

const std::vector<WebAsset>& webAssets();

}  // namespace qpanel
