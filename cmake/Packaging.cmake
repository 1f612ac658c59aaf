# Packages of the tools, made by CPack: cmake --build build --target package.
# The version is the project's (project() in the top-level CMakeLists.txt).
set(CPACK_PACKAGE_NAME kiv-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KIV tools developers")
set(CPACK_PACKAGE_CONTACT "KIV tools developers <kiv-tools@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console tools for KIV networked audio frames")
# The long description, in lines for the package's control file.
set(CPACK_PACKAGE_DESCRIPTION "kivcast discovers the KIV frames (networked audio processing units)
behind one network interface and sends one KIV text message to all of
them, or to one, with retransmissions, printing one result line or
meter-data report per frame, or JSON records for scripts. kivwatch
watches a rig during a show: frames found, lost and changed, and meters
polled, in a live terminal table, as lines or JSON, and as a dashboard
for the browser. kivprobe finds one frame and sends it one
text. kivframe emulates frames on loopback, with faults on demand, and
records pcap captures of its traffic. A Wireshark dissector (kiv.lua)
decodes the protocol.")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

if(WIN32)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
    include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
  endif()
else()
  # kiv-tools_<version>_<architecture>.deb, installing under /usr.
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Library dependencies (libc6, libstdc++6, libgcc-s1) come from dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Trying the tools safely needs a private network namespace (ip, unshare);
  # the dissector needs Wireshark or tshark.
  # (unshare is in util-linux, which every Debian system has.)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "iproute2")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")

  # /usr/share/doc/<package>: the copyright file and the changelog, which
  # Debian's policy asks of every package. Neither names the programs, so a
  # program added later needs nothing here.
  set(docDir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
  string(TIMESTAMP KIV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/doc/copyright @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
  execute_process(COMMAND gzip -9 -n -f ${CMAKE_BINARY_DIR}/doc/changelog RESULT_VARIABLE gzipFailed)
  if(gzipFailed)
    message(FATAL_ERROR "gzip of ${CMAKE_BINARY_DIR}/doc/changelog failed")
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${docDir})
endif()

include(CPack)
