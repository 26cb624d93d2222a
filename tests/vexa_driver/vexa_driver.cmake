# The stand-in virtual port driver (a kernel-mode driver loaded by Wine) and
# the tool with which tests load it and play the application. Test-only:
# nothing here is installed with the programs.
set(VEXA_DRIVER_SYS ${CMAKE_BINARY_DIR}/bin/vexa_driver.sys)
add_custom_command(OUTPUT ${VEXA_DRIVER_SYS}
  COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -Wextra -Werror -nostdlib -nostartfiles -shared
          -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000
          -Wl,--dynamicbase -o ${VEXA_DRIVER_SYS}
          ${CMAKE_CURRENT_LIST_DIR}/vexa_driver.c -lntoskrnl -lhal
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/vexa_driver.c ${CMAKE_CURRENT_LIST_DIR}/vexa_driver.h
  COMMENT "Building the stand-in virtual port driver")
add_custom_target(vexa_driver ALL DEPENDS ${VEXA_DRIVER_SYS})
add_executable(vexa_tool ${CMAKE_CURRENT_LIST_DIR}/vexa_tool_win32.c)

# Loaded once for the whole run: a kernel driver without an unload routine
# stays in memory after its service stops, so it is not loaded twice.
add_test(NAME vexa.driver.load
  COMMAND ${Python3_EXECUTABLE} -c "import vexa; vexa.load_driver()"
  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/../programs)
add_test(NAME vexa.driver.unload
  COMMAND ${Python3_EXECUTABLE} -c "import vexa; vexa.unload_driver()"
  WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/../programs)
set_tests_properties(vexa.driver.load vexa.driver.unload PROPERTIES
  ENVIRONMENT "TOVL_BIN_DIR=${CMAKE_BINARY_DIR}/bin;TOVL_TEST_PLATFORM=win32;TOVL_WINE_RUN=${PROJECT_SOURCE_DIR}/cmake/wine-run.sh"
  FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK wine_registry)
set_tests_properties(vexa.driver.load PROPERTIES FIXTURES_SETUP vexa_driver)
set_tests_properties(vexa.driver.unload PROPERTIES FIXTURES_CLEANUP vexa_driver)
