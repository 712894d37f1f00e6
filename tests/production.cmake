# SPDX-License-Identifier: GPL-3.0-or-later
# Production runs: the serial numbers and the CSV log on their own, then tarvane-cli program end
# to end against the simulated adapter and against the firmware in simulation.
find_program(TARVANE_AVR_OBJCOPY avr-objcopy)
if(TARVANE_AVR_OBJCOPY)
  set(_objcopy ${TARVANE_AVR_OBJCOPY})
else()
  set(_objcopy "")
endif()

# The file calls that fail on purpose (support/faultshim.cpp) are linked in: a full disk and a
# failed rename within the test itself.
tarvane_test(test_production SOURCES test_production.cpp support/faultshim.cpp
             LIBS tarvane_production ${CMAKE_DL_LIBS})

tarvane_test(test_program SOURCES test_program.cpp support/programrun.h LIBS tarvane_production adaptersim)
target_include_directories(test_program PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
add_dependencies(test_program tarvane-cli tarvane_faultshim)
target_compile_definitions(test_program PRIVATE TARVANE_OBJCOPY="${_objcopy}"
                           TARVANE_FAULTSHIM="$<TARGET_FILE:tarvane_faultshim>")

# The firmware paces simulated time to the wall clock: these run serially, as the other
# firmware tests do.
if(TARGET hvsim AND TARGET firmware)
  tarvane_test(test_programfirmware SOURCES test_programfirmware.cpp support/programrun.h
               LIBS tarvane_production hvsim)
  target_include_directories(test_programfirmware PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  add_dependencies(test_programfirmware firmware device_files tarvane-cli)
  target_compile_definitions(test_programfirmware PRIVATE TARVANE_OBJCOPY="${_objcopy}")
  set_tests_properties(test_programfirmware PROPERTIES LABELS firmware RUN_SERIAL TRUE TIMEOUT 600)
  set_property(TEST test_programfirmware APPEND PROPERTY ENVIRONMENT
               "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan-simavr.supp:print_suppressions=0")
endif()
