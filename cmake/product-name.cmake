# The product's name and version as the vendor gives them: the checks, in one
# place. Included by the configure step; run on its own with
#   cmake -DPRODUCT_NAME=NAME -DPRODUCT_VERSION=VERSION -P cmake/product-name.cmake
# A name is a plain file name (it names the DLLs, the kit's header, a global
# variable and the archives); a version is one to four numbers, as the
# version resource holds them. Sets PB_PRODUCT_VERSION (the project's when
# none is given) in the caller's scope.

function(pb_check_product_name name version)
  if(NOT name MATCHES "^[A-Za-z0-9_-]+$")
    message(FATAL_ERROR "PRODUCT_NAME must be a plain file name (letters, digits, '_' and '-'), got '${name}'")
  endif()
  if(version STREQUAL "")
    set(PB_PRODUCT_VERSION ${PROJECT_VERSION} PARENT_SCOPE)
  elseif(version MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    set(PB_PRODUCT_VERSION ${version} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "PRODUCT_VERSION must be one to four numbers separated by '.', got '${version}'")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  pb_check_product_name("${PRODUCT_NAME}" "${PRODUCT_VERSION}")
endif()
