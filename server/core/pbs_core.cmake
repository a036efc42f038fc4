# pbs_core: the product server's own logic without I/O (request parsing, the
# reply format, the rules, the license decision, the import parsers).
# Included by server/CMakeLists.txt and by fuzz/CMakeLists.txt.
if(NOT TARGET pbs_core)
  find_package(nlohmann_json 3 REQUIRED)
  set(_pbs_core_dir ${CMAKE_CURRENT_LIST_DIR})
  add_library(pbs_core STATIC
    ${_pbs_core_dir}/dates.cpp
    ${_pbs_core_dir}/decision.cpp
    ${_pbs_core_dir}/import.cpp
    ${_pbs_core_dir}/license_rules.cpp
    ${_pbs_core_dir}/reply.cpp
    ${_pbs_core_dir}/request.cpp
    ${_pbs_core_dir}/rules.cpp)
  target_include_directories(pbs_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(pbs_core PUBLIC nlohmann_json::nlohmann_json)
endif()
