# The portable core on the host: unit tests, benchmarks, fuzz targets; and
# the stand-in server's tests, which need no Wine.
if(PB_FUZZ)
  add_subdirectory(fuzz)
elseif(PB_BENCH)
  add_subdirectory(bench)
else()
  find_package(GTest REQUIRED)
  add_subdirectory(tests/native)
  add_subdirectory(server)
  add_subdirectory(tests/guest)
  add_subdirectory(tests/deps)
  add_subdirectory(tests/configure)
endif()
