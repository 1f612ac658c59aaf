# Windows release: kivcast-<version>-win64.zip, one folder with kivcast.exe,
# kivprobe.exe, kivwatch.exe (each installed there by its own install rule)
# and README.txt. The programs are linked statically, so nothing needs
# installing: unpack and run.
#   cmake --build build-windows --target package

# README.txt: the part of README.md between the windows-usage markers as
# plain text (no fences, backticks or heading marks), with the version filled
# in and Windows line ends.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "<!-- windows-usage -->" usageStart)
string(FIND "${readme}" "<!-- /windows-usage -->" usageEnd)
if(usageStart EQUAL -1 OR usageEnd LESS usageStart)
  message(FATAL_ERROR "README.md lacks its <!-- windows-usage --> section")
endif()
string(LENGTH "<!-- windows-usage -->\n" markerLength)
math(EXPR usageStart "${usageStart} + ${markerLength}")
math(EXPR usageLength "${usageEnd} - ${usageStart}")
string(SUBSTRING "${readme}" ${usageStart} ${usageLength} usage)
string(REPLACE "```\n" "" usage "${usage}")
string(REPLACE "`" "" usage "${usage}")
string(REGEX REPLACE "(^|\n)### " "\\1" usage "${usage}")
string(REPLACE "<version>" "${PROJECT_VERSION}" usage "${usage}")
# (file(CONFIGURE) with NEWLINE_STYLE CRLF converts only the line ends of its
# template, not those of the text substituted into it: the CRs are put in here.)
string(REPLACE "\n" "\r\n" readmeText "kivcast ${PROJECT_VERSION} for Windows\n\n${usage}")
file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readmeText}")
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kivcast)
set(CPACK_PACKAGE_FILE_NAME kivcast-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
