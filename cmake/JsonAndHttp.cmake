# The JSON parser and the HTTP server, from Debian's packages, for the native
# and the MinGW build alike:
#   varnix_json     nlohmann-json3-dev (header-only): reads the status answers
#   varnix_httplib  cpp-httplib: serves the farm page and the node's /metrics
#                   and /status. Debian's libcpp-httplib-dev splits it into a
#                   header and a shared library; the Windows build has no such
#                   library and uses the upstream single header of Debian's
#                   source package instead (scripts/build-windows passes
#                   VARNIX_HTTPLIB_INCLUDE).
# Only these headers are copied into a folder of the build tree, so that the
# cross build never puts the build machine's /usr/include on its path.
set(varnix_third_party ${CMAKE_BINARY_DIR}/third-party)
find_file(VARNIX_NLOHMANN_JSON nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT VARNIX_NLOHMANN_JSON)
  message(FATAL_ERROR "nlohmann/json.hpp missing: scripts/setup installs nlohmann-json3-dev")
endif()
get_filename_component(nlohmann_dir ${VARNIX_NLOHMANN_JSON} DIRECTORY)
file(COPY ${nlohmann_dir} DESTINATION ${varnix_third_party})
add_library(varnix_json INTERFACE)
target_include_directories(varnix_json SYSTEM INTERFACE ${varnix_third_party})

set(VARNIX_HTTPLIB_INCLUDE "" CACHE PATH "Folder of cpp-httplib's single header (cross builds)")
add_library(varnix_httplib INTERFACE)
target_link_libraries(varnix_httplib INTERFACE Threads::Threads)
if(CMAKE_CROSSCOMPILING)
  if(NOT EXISTS ${VARNIX_HTTPLIB_INCLUDE}/httplib.h)
    message(FATAL_ERROR "VARNIX_HTTPLIB_INCLUDE must name the folder of cpp-httplib's httplib.h")
  endif()
  target_include_directories(varnix_httplib SYSTEM INTERFACE ${VARNIX_HTTPLIB_INCLUDE})
  if(WIN32)
    target_link_libraries(varnix_httplib INTERFACE ws2_32)
  endif()
else()
  find_file(VARNIX_CPP_HTTPLIB httplib.h PATHS /usr/include NO_DEFAULT_PATH)
  find_library(VARNIX_CPP_HTTPLIB_LIBRARY cpp-httplib)
  if(NOT VARNIX_CPP_HTTPLIB OR NOT VARNIX_CPP_HTTPLIB_LIBRARY)
    message(FATAL_ERROR "cpp-httplib missing: scripts/setup installs libcpp-httplib-dev")
  endif()
  file(COPY ${VARNIX_CPP_HTTPLIB} DESTINATION ${varnix_third_party}/httplib)
  target_include_directories(varnix_httplib SYSTEM INTERFACE ${varnix_third_party}/httplib)
  target_link_libraries(varnix_httplib INTERFACE ${VARNIX_CPP_HTTPLIB_LIBRARY})
endif()
