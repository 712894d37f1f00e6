# SPDX-License-Identifier: GPL-3.0-or-later
# The firmware end to end, in simulation. These tests pace simulated time to the wall
# clock and so must not share the two cores with other tests: they run serially.
if(TARGET hvsim AND TARGET firmware)
  tarvane_test(test_hvmodel SOURCES test_hvmodel.cpp LIBS hvsim_model)
  tarvane_test(test_firmware SOURCES test_firmware.cpp support/hvrig.h support/scripteddialogs.h
               LIBS tarvane_gui hvsim)
  target_include_directories(test_firmware PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  add_dependencies(test_firmware firmware device_files)
  set_tests_properties(test_hvmodel PROPERTIES LABELS firmware)
  set_tests_properties(test_firmware PROPERTIES LABELS firmware RUN_SERIAL TRUE TIMEOUT 600)
  set_property(TEST test_firmware APPEND PROPERTY ENVIRONMENT
               "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan-simavr.supp:print_suppressions=0")
  # tarvane-cli against firmware and model. The firmware needs avr-gcc and avr-objcopy, as
  # the HEX fixtures do (hex.cmake, read later, defines their target).
  tarvane_test(test_clifirmware SOURCES test_clifirmware.cpp LIBS hvsim)
  add_dependencies(test_clifirmware firmware device_files tarvane-cli hex_fixtures)
  target_compile_definitions(test_clifirmware PRIVATE TARVANE_HEX_FIXTURES="${CMAKE_CURRENT_BINARY_DIR}/hex-fixtures")
  set_tests_properties(test_clifirmware PROPERTIES LABELS firmware RUN_SERIAL TRUE TIMEOUT 300)
  set_property(TEST test_clifirmware APPEND PROPERTY ENVIRONMENT
               "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan-simavr.supp:print_suppressions=0")
else()
  message(STATUS "avr-gcc or libsimavr missing: the firmware tests are left out")
endif()
