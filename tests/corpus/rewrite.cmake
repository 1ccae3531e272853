# corpus.rewrite: every corpus file gets a resource added, then removed;
# pefile, objdump and Wine check each result against the original.
add_executable(rewrite_tool rewrite_tool.cpp)
target_link_libraries(rewrite_tool PRIVATE vornutils_internals)
vornutils_warnings(rewrite_tool)

# Only 64-bit Wine can run programs on every host we test on; it still loads
# PE32 files as data.
find_program(VORNUTILS_MINGW64_CC x86_64-w64-mingw32-gcc)
if(NOT VORNUTILS_MINGW64_CC)
  message(FATAL_ERROR "corpus.rewrite needs x86_64-w64-mingw32-gcc (Debian package gcc-mingw-w64-x86-64) "
                      "to build its Wine reader; install it or set VORNUTILS_MINGW64_CC")
endif()
set(wine_map_check_exe ${CMAKE_CURRENT_BINARY_DIR}/wine_map_check.exe)
add_custom_command(OUTPUT ${wine_map_check_exe}
  COMMAND ${VORNUTILS_MINGW64_CC} -O2 -Wall -Wextra -std=c11 -o ${wine_map_check_exe}
          ${CMAKE_CURRENT_SOURCE_DIR}/wine_map_check.c
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/wine_map_check.c
  COMMENT "Building the Wine resource reader wine_map_check.exe"
  VERBATIM)
add_custom_target(wine_map_check ALL DEPENDS ${wine_map_check_exe})
add_dependencies(rewrite_tool wine_map_check)

add_test(NAME corpus.rewrite
  COMMAND ${VORNUTILS_CORPUS_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/check_rewrite.py
          --tool $<TARGET_FILE:rewrite_tool>
          --wine-check ${wine_map_check_exe}
          --wine-run ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh
          --work-dir ${CMAKE_CURRENT_BINARY_DIR}/rewrite-work)
set_tests_properties(corpus.rewrite PROPERTIES TIMEOUT 900 LABELS corpus
  ENVIRONMENT "WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wineprefix-rewrite")

# The same for every PE32+ file with resources of x86_64-windows, opened as
# vornres opens them; checked with the x86_64 objdump and 64-bit Wine.
add_test(NAME corpus.rewrite_pe32plus
  COMMAND ${VORNUTILS_CORPUS_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/check_rewrite.py
          --kind pe32plus
          --tool $<TARGET_FILE:rewrite_tool>
          --wine-check ${wine_map_check_exe}
          --wine-run ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh
          --work-dir ${CMAKE_CURRENT_BINARY_DIR}/rewrite-pe32plus-work)
set_tests_properties(corpus.rewrite_pe32plus PROPERTIES TIMEOUT 900 LABELS corpus
  ENVIRONMENT "WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wineprefix-rewrite-pe32plus")
