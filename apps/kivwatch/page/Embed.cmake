# Writes OUTPUT, a C++ source that holds the dashboard's files as byte arrays
# behind DashboardPage::page(), style() and script(). Run as
#   cmake -DPAGE_DIR=... -DOUTPUT=... -P Embed.cmake
function(embed name file)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Lines of 32 bytes, so the generated file stays readable by a compiler's diagnostics.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n    " bytes "${bytes}")
  set(source "${source}const unsigned char ${name}Bytes[] = {\n    ${bytes}0x00};\n" PARENT_SCOPE)
  set(${name}Size ${size} PARENT_SCOPE)
endfunction()

set(source "// Generated from apps/kivwatch/page by Embed.cmake; do not edit.\n#include \"apps/kivwatch/DashboardPage.h\"\n\nnamespace {\n")
embed(page ${PAGE_DIR}/index.html)
embed(style ${PAGE_DIR}/dashboard.css)
embed(script ${PAGE_DIR}/dashboard.js)
set(source "${source}} // namespace\n\nnamespace DashboardPage {\n")
foreach(name page style script)
  set(source "${source}std::string_view ${name}() { return {reinterpret_cast<const char*>(${name}Bytes), ${${name}Size}}; }\n")
endforeach()
set(source "${source}} // namespace DashboardPage\n")
file(WRITE ${OUTPUT}.new "${source}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
