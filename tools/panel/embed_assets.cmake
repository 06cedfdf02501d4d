# Writes a C++ source that holds the panel's web files, so that the tool serves
# its page without any file beside it. Run as a script:
#   cmake -DOUT=file.cpp -DROOT=web/ -DFILES=index.html,panel.js,... -P embed_assets.cmake
string(REPLACE "," ";" FILES "${FILES}")
set(_body "")
set(_table "")
set(_n 0)
foreach(_file IN LISTS FILES)
  file(READ "${ROOT}/${_file}" _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _size "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" _bytes "${_bytes}")
  if(_file MATCHES "\\.html$")
    set(_type "text/html; charset=utf-8")
  elseif(_file MATCHES "\\.js$")
    set(_type "text/javascript; charset=utf-8")
  elseif(_file MATCHES "\\.css$")
    set(_type "text/css; charset=utf-8")
  elseif(_file MATCHES "\\.svg$")
    set(_type "image/svg+xml")
  else()
    set(_type "text/plain; charset=utf-8")
  endif()
  string(APPEND _body "const unsigned char asset${_n}[] = {\n${_bytes}0x00};\n")
  string(APPEND _table "    {\"/${_file}\", \"${_type}\", asset${_n}, ${_size}},\n")
  math(EXPR _n "${_n} + 1")
endforeach()
file(WRITE "${OUT}" "// Generated from tools/panel/web by embed_assets.cmake; do not edit.
#include \"web_assets.h\"

namespace qpanel {
namespace {
${_body}}  // namespace

const std::vector<WebAsset>& webAssets() {
  static const std::vector<WebAsset> assets = {
${_table}  };
  return assets;
}

}  // namespace qpanel
")
