# SPDX-License-Identifier: GPL-3.0-or-later
# The shipped device files must agree with avr-libc's device headers, apart from
# the datasheet notes they carry.  The check needs avr-libc; without it the test
# fails rather than being skipped, so a catalogue that nobody checked is never
# reported as passing.
set(TARVANE_AVR_INCLUDE /usr/lib/avr/include CACHE PATH "avr-libc include folder (holding avr/io.h)")
if(NOT EXISTS ${TARVANE_AVR_INCLUDE}/avr/io.h)
  message(WARNING "avr-libc not found at ${TARVANE_AVR_INCLUDE}: the cpu_catalogue test will fail. "
                  "Install avr-libc or set TARVANE_AVR_INCLUDE.")
endif()
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  set(_python ${Python3_EXECUTABLE})
else()
  set(_python python3)
endif()
add_test(NAME cpu_catalogue
  COMMAND ${_python} ${PROJECT_SOURCE_DIR}/tools/cpucheck.py
          --cpu ${PROJECT_SOURCE_DIR}/cpu --include ${TARVANE_AVR_INCLUDE})
set_tests_properties(cpu_catalogue PROPERTIES TIMEOUT 300)

# The files must also be exactly what tools/cpugen.py writes, so that the next
# regeneration (a new avr-libc, a new override) changes nothing by accident.
# That needs the AVR compiler as well; without it this test is not registered
# and cpu_catalogue alone vouches for the files.
find_program(TARVANE_AVR_GCC avr-gcc)
if(TARVANE_AVR_GCC)
  add_test(NAME cpu_catalogue_generated
    COMMAND ${_python} ${PROJECT_SOURCE_DIR}/tools/cpugen.py --check
            --out ${PROJECT_SOURCE_DIR}/cpu --include ${TARVANE_AVR_INCLUDE} --cc ${TARVANE_AVR_GCC})
  set_tests_properties(cpu_catalogue_generated PROPERTIES TIMEOUT 300)
else()
  message(STATUS "avr-gcc not found: cpu_catalogue_generated is not registered")
endif()

# The shipped catalogue in the window's chip list: a name is found by typing its first letters.
if(TARGET tarvane_gui)
  tarvane_test(test_chipsearch SOURCES test_chipsearch.cpp support/scripteddialogs.h LIBS tarvane_gui)
  target_include_directories(test_chipsearch PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  add_dependencies(test_chipsearch device_files)
endif()

# The checker's own rules for shared names and files, on device files made for the purpose.
add_test(NAME cpu_catalogue_rules COMMAND ${_python} ${CMAKE_CURRENT_SOURCE_DIR}/test_cpucheck.py)
set_tests_properties(cpu_catalogue_rules PROPERTIES ENVIRONMENT "TARVANE_AVR_INCLUDE=${TARVANE_AVR_INCLUDE}" TIMEOUT 120)

# Our tables against avrdude's part list (Debian's avrdude package, installed by
# scripts/setup.sh as test data): the catalogue, the firmware's device table and the hvsim
# model's pins. Without /etc/avrdude.conf the test says so and is skipped.
add_test(NAME avrdude_parts COMMAND ${_python} ${CMAKE_CURRENT_SOURCE_DIR}/test_avrdude.py)
set_tests_properties(avrdude_parts PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
