# SPDX-License-Identifier: GPL-3.0-or-later
tarvane_test(test_catalogue SOURCES test_catalogue.cpp LIBS tarvane_catalogue)
# The fuse fields of the shipped device files, read from the source tree's cpu folder.
tarvane_test(test_fields SOURCES test_fields.cpp LIBS tarvane_catalogue)
target_compile_definitions(test_fields PRIVATE TARVANE_CPU_SOURCE_DIR="${PROJECT_SOURCE_DIR}/cpu")
tarvane_test(test_settings SOURCES test_settings.cpp LIBS tarvane_gui)
tarvane_test(test_window SOURCES test_window.cpp support/scripteddialogs.h LIBS tarvane_gui)
target_include_directories(test_window PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
add_dependencies(test_window device_files)

# The serial tests need the simulated adapter, and so a pseudo-terminal.
if(UNIX)
  tarvane_test(test_link SOURCES test_link.cpp LIBS tarvane_link adaptersim)
  foreach(name test_bits test_flash)
    tarvane_test(${name} SOURCES ${name}.cpp support/rig.h support/scripteddialogs.h LIBS tarvane_gui adaptersim)
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  endforeach()
  add_dependencies(test_flash hex2bin)
endif()
