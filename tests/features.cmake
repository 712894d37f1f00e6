# SPDX-License-Identifier: GPL-3.0-or-later
# The window's EEPROM menu, the questions around an erase and a Flash write and the calibration
# bytes (test_features), and tarvane-cli's EEPROM commands and board test (test_clieeprom):
# against the simulated adapter, and against the firmware in simulation where it is built.
# Intel HEX files come from avr-objcopy, not from our own image code.
if(NOT UNIX)
  return()
endif()
find_program(TARVANE_AVR_OBJCOPY avr-objcopy)
if(TARVANE_AVR_OBJCOPY)
  set(_objcopy ${TARVANE_AVR_OBJCOPY})
else()
  set(_objcopy "")
endif()

tarvane_test(test_features SOURCES test_features.cpp support/rig.h support/hvrig.h support/scripteddialogs.h
  LIBS tarvane_gui adaptersim)
tarvane_test(test_clieeprom SOURCES test_clieeprom.cpp support/devices.h LIBS adaptersim)
add_dependencies(test_clieeprom tarvane-cli device_files)
foreach(_t test_features test_clieeprom)
  target_include_directories(${_t} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  target_compile_definitions(${_t} PRIVATE TARVANE_AVR_OBJCOPY="${_objcopy}")
endforeach()
if(TARGET image_fixtures)
  add_dependencies(test_clieeprom image_fixtures)
  target_compile_definitions(test_clieeprom PRIVATE TARVANE_IMAGE_FIXTURES="${CMAKE_CURRENT_BINARY_DIR}/image-fixtures")
else()
  target_compile_definitions(test_clieeprom PRIVATE TARVANE_IMAGE_FIXTURES="")
endif()

# The cases on the firmware pace simulated time to the wall clock: these tests then run alone.
if(TARGET hvsim AND TARGET firmware)
  foreach(_t test_features test_clieeprom)
    target_link_libraries(${_t} PRIVATE hvsim)
    target_compile_definitions(${_t} PRIVATE TARVANE_WITH_HVSIM)
    add_dependencies(${_t} firmware device_files)
    set_tests_properties(${_t} PROPERTIES LABELS firmware RUN_SERIAL TRUE TIMEOUT 600)
    set_property(TEST ${_t} APPEND PROPERTY ENVIRONMENT
                 "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan-simavr.supp:print_suppressions=0")
  endforeach()
endif()
