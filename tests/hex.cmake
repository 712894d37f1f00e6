# SPDX-License-Identifier: GPL-3.0-or-later
# HEX converter: the library on hand-made records, the program as the GUI runs it, and both
# against avr-objcopy on firmware built here with avr-gcc.
tarvane_test(test_hexconv SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hexconv.cpp LIBS hexconv)
add_dependencies(test_hexconv hex2bin)
target_compile_definitions(test_hexconv PRIVATE
  TARVANE_HEX2BIN_DIR="$<TARGET_FILE_DIR:hex2bin>"
  TARVANE_HEX2BIN_NAME="$<TARGET_FILE_NAME:hex2bin>")

find_program(TARVANE_AVR_GCC avr-gcc)
find_program(TARVANE_AVR_OBJCOPY avr-objcopy)
if(NOT TARVANE_AVR_GCC OR NOT TARVANE_AVR_OBJCOPY)
  message(STATUS "avr-gcc or avr-objcopy not found: the HEX comparison with avr-objcopy will be skipped")
  target_compile_definitions(test_hexconv PRIVATE TARVANE_AVR_FIXTURES="")
  return()
endif()

set(_src ${CMAKE_CURRENT_LIST_DIR}/hex/blink.c)
set(_dir ${CMAKE_CURRENT_BINARY_DIR}/hex-fixtures)
set(_cflags -Os -std=c11 -Wall -Wextra -Wpedantic)
set(_outputs)

# name, MCU, extra compiler/linker flags, extra objcopy flags. Each HEX file goes with the
# reference image avr-objcopy makes from it (name.ref).
#  blink: one program from address 0.
#  gap:   a routine at the boot section start of an ATmega8 leaves a gap; --set-start adds a
#         start segment address record (03).
#  mega:  a routine above 64 KiB on an ATmega2560 needs extended segment address records (02).
function(_tarvane_avr_fixture name mcu flags copyflags)
  set(_elf ${_dir}/${name}.elf)
  set(_hex ${_dir}/${name}.hex)
  set(_ref ${_dir}/${name}.ref)
  add_custom_command(OUTPUT ${_hex} ${_ref}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${TARVANE_AVR_GCC} -mmcu=${mcu} ${_cflags} ${flags} -o ${_elf} ${_src}
    COMMAND ${TARVANE_AVR_OBJCOPY} -O ihex -R .eeprom ${copyflags} ${_elf} ${_hex}
    COMMAND ${TARVANE_AVR_OBJCOPY} -I ihex -O binary --gap-fill 0xFF ${_hex} ${_ref}
    DEPENDS ${_src}
    COMMENT "Building HEX fixture ${name}"
    VERBATIM)
  set(_outputs ${_outputs} ${_hex} ${_ref} PARENT_SCOPE)
endfunction()

_tarvane_avr_fixture(blink atmega8 "" "")
_tarvane_avr_fixture(gap atmega8 "-DBOOT_STUB;-Wl,--section-start=.boot=0x1800" "--set-start;0x1800")
_tarvane_avr_fixture(mega atmega2560 "-DBOOT_STUB;-Wl,--section-start=.boot=0x1F000" "")

# far: the blink program's bytes moved to just below 1 MiB, so its records cross from
# segment (02) to linear (04) addressing, with a start linear address record (05). Its image
# is the only one not starting at 0: avr-objcopy's reference starts at 0xFFF80.
add_custom_command(OUTPUT ${_dir}/far.hex ${_dir}/far.ref
  COMMAND ${TARVANE_AVR_OBJCOPY} -O binary -R .eeprom ${_dir}/blink.elf ${_dir}/far.raw
  COMMAND ${TARVANE_AVR_OBJCOPY} -I binary -O ihex --change-addresses 0xFFF80 --set-start 0x123456
          ${_dir}/far.raw ${_dir}/far.hex
  COMMAND ${TARVANE_AVR_OBJCOPY} -I ihex -O binary --gap-fill 0xFF ${_dir}/far.hex ${_dir}/far.ref
  DEPENDS ${_dir}/blink.hex
  COMMENT "Building HEX fixture far"
  VERBATIM)
list(APPEND _outputs ${_dir}/far.hex ${_dir}/far.ref)

add_custom_target(hex_fixtures DEPENDS ${_outputs})
add_dependencies(test_hexconv hex_fixtures)
target_compile_definitions(test_hexconv PRIVATE TARVANE_AVR_FIXTURES="${_dir}")
