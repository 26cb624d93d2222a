# The stand-in virtual port driver (a kernel-mode driver loaded by Wine) and
# the tool with which tests load it and play the application. Test-only:
# nothing here is installed with the programs.
set(VEXA_DRIVER_SYS ${CMAKE_BINARY_DIR}/bin/vexa_driver.sys)
add_custom_command(OUTPUT ${VEXA_DRIVER_SYS}
  COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -Wextra -nostdlib -nostartfiles -shared
          -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000
          -Wl,--dynamicbase -o ${VEXA_DRIVER_SYS}
          ${CMAKE_CURRENT_LIST_DIR}/vexa_driver.c -lntoskrnl -lhal
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/vexa_driver.c ${CMAKE_CURRENT_LIST_DIR}/vexa_driver.h
  COMMENT "Building the stand-in virtual port driver")
add_custom_target(vexa_driver ALL DEPENDS ${VEXA_DRIVER_SYS})
add_executable(vexa_tool ${CMAKE_CURRENT_LIST_DIR}/vexa_tool_win32.c)
