# The host's own builds: the portable core's unit tests, benchmarks and fuzz
# targets; the product server (its tests here, with the sanitizers of the
# preset); the stand-in server's tests, which need no Wine. The `server`
# preset (PB_SERVER) builds the product server alone, optimised and without
# sanitizers, and its Debian package.
# The PostgreSQL cluster of the server's tests (tests/pg/CMakeLists.txt).
set(PBS_POSTGRES_CLUSTER_DIR ${CMAKE_BINARY_DIR}/postgres-cluster)
if(PB_SERVER)
  find_package(GTest REQUIRED)
  add_subdirectory(server)
  add_subdirectory(tests/pg)
  include(cmake/server-package.cmake)
elseif(PB_FUZZ)
  add_subdirectory(fuzz)
elseif(PB_BENCH)
  add_subdirectory(bench)
else()
  find_package(GTest REQUIRED)
  add_subdirectory(tests/native)
  add_subdirectory(server)
  add_subdirectory(tests/pg)
  add_subdirectory(tests/standin)
  add_subdirectory(tests/admin)
  add_subdirectory(tests/package)
  add_subdirectory(tests/guest)
  add_subdirectory(tests/messages)
  add_subdirectory(tests/docs)
  add_subdirectory(tests/deps)
  add_subdirectory(tests/configure)
  # make bench-server's load generator and report, for their tables.
  add_subdirectory(bench/server)
endif()
