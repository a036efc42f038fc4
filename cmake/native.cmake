# The portable core on the host: unit tests, benchmarks, fuzz targets.
if(PB_FUZZ)
  add_subdirectory(fuzz)
elseif(PB_BENCH)
  add_subdirectory(bench)
else()
  find_package(GTest REQUIRED)
  add_subdirectory(tests/native)
endif()
