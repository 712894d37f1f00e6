# The adapter simulator, as a library and as the adapter-sim program.
tarvane_test(test_adaptersim SOURCES test_adaptersim.cpp LIBS adaptersim)
add_dependencies(test_adaptersim adapter-sim)
# The operations without a window, and the command line, against the simulated adapter.
tarvane_test(test_core SOURCES test_core.cpp support/recordingfaces.h support/devices.h
  LIBS tarvane_flash tarvane_bits adaptersim)
target_include_directories(test_core PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
