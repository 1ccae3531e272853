# vornres.exe under Wine: the cases of check_vornres.py marked for Wine. The
# script runs natively (pefile reads what the tool wrote); only the tool runs
# through the loader of the build's word size.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(vornres_wine_loader wine64)
else()
  set(vornres_wine_loader wine)
endif()
add_test(NAME win32.vornres
  COMMAND ${VORNUTILS_CORPUS_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/check_vornres.py
          --vornres $<TARGET_FILE:vornres>
          --wine-run ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh --loader ${vornres_wine_loader})
# The tool runs in a folder of its own, so the prefix is named in full.
set_tests_properties(win32.vornres PROPERTIES
  FIXTURES_REQUIRED vornutils_wineprefix TIMEOUT 300
  ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEDEBUG=-all")
if(NOT VORNUTILS_WINE_REQUIRED)
  set_tests_properties(win32.vornres PROPERTIES SKIP_REGULAR_EXPRESSION "Exec format error")
endif()
