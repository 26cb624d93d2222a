# End-to-end tests of the built programs, written in Python (standard
# library only). Every test that listens on TCP 4445 holds the tcp4445 lock.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(CMAKE_CROSSCOMPILING)
  set(TOVL_TEST_PLATFORM win32)
else()
  set(TOVL_TEST_PLATFORM linux)
endif()

# The servers under test take their UUCP lock files here, not in /run/lock.
set(TOVL_TEST_LOCK_DIR ${CMAKE_BINARY_DIR}/test-locks)
file(MAKE_DIRECTORY ${TOVL_TEST_LOCK_DIR})

# Sanitizer builds skip the waits that test the network rather than the code.
if(TOVL_SANITIZE)
  set(TOVL_TEST_SANITIZED 1)
else()
  set(TOVL_TEST_SANITIZED 0)
endif()

function(tovl_program_test name script)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LOCKS" ${ARGN})
  add_test(NAME ${name}
    COMMAND ${Python3_EXECUTABLE} -m unittest -v ${script}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/programs)
  set(env "TOVL_BIN_DIR=${CMAKE_BINARY_DIR}/bin" "TOVL_TEST_PLATFORM=${TOVL_TEST_PLATFORM}"
      "TOVL_WINE_RUN=${PROJECT_SOURCE_DIR}/cmake/wine-run.sh"
      "TOVL_LOCK_DIR=${TOVL_TEST_LOCK_DIR}" "TOVL_SANITIZED=${TOVL_TEST_SANITIZED}")
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" FIXTURES_REQUIRED wine_prefix)
  if(ARG_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  endif()
  # Under Wine the programs share the prefix's registry with the unit tests,
  # which clear the product's key: take turns with them.
  if(CMAKE_CROSSCOMPILING)
    list(APPEND ARG_LOCKS wine_registry)
    list(REMOVE_DUPLICATES ARG_LOCKS)
  endif()
  if(ARG_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
endfunction()

tovl_program_test(programs.service_command_line test_service_command_line LOCKS tcp4445 scm TIMEOUT 240)
tovl_program_test(programs.server_listener test_server_listener LOCKS tcp4445 TIMEOUT 300)
tovl_program_test(programs.server_port_session test_server_port_session LOCKS tcp4445 TIMEOUT 300)
tovl_program_test(programs.server_hostile_network test_server_hostile_network LOCKS tcp4445 TIMEOUT 300)
tovl_program_test(programs.server_log test_server_log LOCKS tcp4445 TIMEOUT 120)
tovl_program_test(programs.server_robustness test_server_robustness LOCKS tcp4445 TIMEOUT 300)
tovl_program_test(programs.server_raw test_server_raw LOCKS tcp4445 TIMEOUT 120)
tovl_program_test(programs.server_control test_server_control LOCKS tcp4445 TIMEOUT 120)
tovl_program_test(programs.client_sessions test_client_sessions TIMEOUT 240)
tovl_program_test(programs.client_failures test_client_failures TIMEOUT 240)
tovl_program_test(programs.client_uses test_client_uses TIMEOUT 240)
tovl_program_test(programs.client_with_server test_client_with_server LOCKS tcp4445 TIMEOUT 300)
tovl_program_test(programs.ipv6_and_names test_ipv6_and_names LOCKS tcp4445 TIMEOUT 240)

# tovladmin's dialogs on a virtual X display (Xvfb, xdotool); screenshots
# of every step go to test-artefacts/tovladmin in the build folder.
tovl_program_test(programs.admin_dialog test_admin_dialog TIMEOUT 300)
set_property(TEST programs.admin_dialog APPEND PROPERTY ENVIRONMENT
  "TOVL_ARTEFACT_DIR=${CMAKE_BINARY_DIR}/test-artefacts")
if(NOT CMAKE_CROSSCOMPILING)
  # The command line exists in the Linux build only.
  tovl_program_test(programs.admin_command_line test_admin_command_line TIMEOUT 120)
  tovl_program_test(programs.admin_config test_admin_config TIMEOUT 120)
  # Lock files are the Linux server's.
  tovl_program_test(programs.server_lock_files test_server_lock_files LOCKS tcp4445 TIMEOUT 120)
  tovl_program_test(programs.server_sandboxed_holders test_server_sandboxed_holders LOCKS tcp4445
                    TIMEOUT 120)
  tovl_program_test(programs.package test_package TIMEOUT 300)
  set_property(TEST programs.package APPEND PROPERTY ENVIRONMENT "TOVL_BUILD_DIR=${CMAKE_BINARY_DIR}")
endif()
tovl_program_test(programs.rfc2217 test_rfc2217 LOCKS tcp4445 TIMEOUT 300)
