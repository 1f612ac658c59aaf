# Windows release: a ZIP to unpack and run, kivcast-<version>-win64.zip.
set(CPACK_GENERATOR ZIP)
