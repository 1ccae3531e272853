# Reads and writes back the version information of every corpus file through
# the shared library, and checks the copies with pefile and with Wine's
# version functions. The Wine reader is a 64-bit program: Wine's 32-bit
# loader cannot start on every host, and a 64-bit process reads PE32 files'
# version information as well.
# The cross compiler was found by rewrite.cmake, which needs it as well.
set(wine_version_read ${CMAKE_CURRENT_BINARY_DIR}/wine_version_read.exe)
add_custom_command(OUTPUT ${wine_version_read}
  COMMAND ${VORNUTILS_MINGW64_CC} -O2 -Wall -Wextra -o ${wine_version_read}
          ${CMAKE_CURRENT_SOURCE_DIR}/wine_version_read.c -lversion
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/wine_version_read.c
  COMMENT "Building wine_version_read.exe (x86_64)")
add_custom_target(corpus_wine_version_read ALL DEPENDS ${wine_version_read})

add_test(NAME corpus.version_roundtrip
  COMMAND ${VORNUTILS_CORPUS_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/check_version_roundtrip.py
          --lib $<TARGET_FILE:vornutils>
          --reader ${wine_version_read}
          --wine-run ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh
          --wineprefix ${CMAKE_CURRENT_BINARY_DIR}/wineprefix-version
          --work ${CMAKE_CURRENT_BINARY_DIR}/version-roundtrip)
set_tests_properties(corpus.version_roundtrip PROPERTIES TIMEOUT 900 LABELS corpus)
if(VORNUTILS_SANITIZE)
  # Python loads the instrumented library, so the sanitizer runtime must be
  # preloaded; the interpreter's own allocations are not ours to check.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE vornutils_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_property(TEST corpus.version_roundtrip APPEND PROPERTY ENVIRONMENT
    "LD_PRELOAD=${vornutils_asan_runtime}" "ASAN_OPTIONS=detect_leaks=0")
endif()
