# SPDX-License-Identifier: GPL-3.0-or-later
# tarvane-cli end to end against the simulated adapter, with the HEX fixtures when avr-gcc built them.
tarvane_test(test_cli SOURCES test_cli.cpp support/devices.h LIBS adaptersim)
target_include_directories(test_cli PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
add_dependencies(test_cli tarvane-cli)
if(TARGET hex_fixtures)
  add_dependencies(test_cli hex_fixtures)
  target_compile_definitions(test_cli PRIVATE TARVANE_HEX_FIXTURES="${CMAKE_CURRENT_BINARY_DIR}/hex-fixtures")
else()
  target_compile_definitions(test_cli PRIVATE TARVANE_HEX_FIXTURES="")
endif()
