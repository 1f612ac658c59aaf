# Release packages, built by the `package` target: a ZIP on Windows.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
else()
endif()
include(CPack)
