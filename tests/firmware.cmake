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
  # tarvane-cli against firmware and model: its tests join this label once the command
  # line program exists (same rig: hvsim::Simulator's device path as the port).
else()
  message(STATUS "avr-gcc or libsimavr missing: the firmware tests are left out")
endif()
