# One throw-away Wine prefix and one persistent wineserver for the whole test
# run: made before the first Windows test, ended after the last.
add_test(NAME wine.prefix.start
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh start ${CMAKE_BINARY_DIR}/wineprefix)
add_test(NAME wine.prefix.stop
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh stop ${CMAKE_BINARY_DIR}/wineprefix)
set_tests_properties(wine.prefix.start PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 180)
set_tests_properties(wine.prefix.stop PROPERTIES FIXTURES_CLEANUP wine_prefix)
