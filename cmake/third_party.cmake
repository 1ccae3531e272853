# CLI11 and nlohmann-json, from Debian's header-only packages (libcli11-dev,
# nlohmann-json3-dev), for the command-line tool. A cross build must not
# search the build machine's /usr/include, whose C library headers would
# shadow MinGW's, so both header folders are copied into the build tree and
# every build takes them from there.
find_path(VORNUTILS_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
find_path(VORNUTILS_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT VORNUTILS_CLI11_INCLUDE OR NOT VORNUTILS_JSON_INCLUDE)
  message(FATAL_ERROR "vornres needs CLI11 and nlohmann-json (Debian packages libcli11-dev and "
                      "nlohmann-json3-dev; scripts/install-deps.sh installs them)")
endif()
set(vornutils_third_party ${CMAKE_BINARY_DIR}/third_party/include)
file(COPY ${VORNUTILS_CLI11_INCLUDE}/CLI ${VORNUTILS_JSON_INCLUDE}/nlohmann DESTINATION ${vornutils_third_party})
add_library(vornutils_tool_deps INTERFACE)
target_include_directories(vornutils_tool_deps SYSTEM INTERFACE ${vornutils_third_party})
