# SPDX-License-Identifier: GPL-3.0-or-later
# The adapter simulator, as a library and as the adapter-sim program.
tarvane_test(test_adaptersim SOURCES test_adaptersim.cpp LIBS adaptersim)
add_dependencies(test_adaptersim adapter-sim)
# The operations without a window, and the command line, against the simulated adapter.
tarvane_test(test_core SOURCES test_core.cpp support/recordingfaces.h support/devices.h
  LIBS tarvane_flash tarvane_bits adaptersim)
target_include_directories(test_core PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
# The shipped catalogue through the window: one round trip per family, 256-byte pages.
tarvane_test(test_families SOURCES test_families.cpp support/scripteddialogs.h LIBS tarvane_gui adaptersim)
target_include_directories(test_families PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
add_dependencies(test_families device_files)
# Factory values, what the fuses mean and why no chip answers: pure functions, and the window
# with the shipped catalogue against the simulated adapter.
tarvane_test(test_rescue SOURCES test_rescue.cpp support/rig.h support/families.h support/scripteddialogs.h
  LIBS tarvane_gui adaptersim)
target_include_directories(test_rescue PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
add_dependencies(test_rescue device_files)
