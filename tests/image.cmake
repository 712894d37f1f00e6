# SPDX-License-Identifier: GPL-3.0-or-later
# Image files: every format read and written, against avr-objcopy on firmware built here.
tarvane_test(test_image SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_image.cpp LIBS tarvane_image)

find_program(TARVANE_AVR_GCC avr-gcc)
find_program(TARVANE_AVR_OBJCOPY avr-objcopy)
if(NOT TARVANE_AVR_GCC OR NOT TARVANE_AVR_OBJCOPY)
  message(STATUS "avr-gcc or avr-objcopy not found: the image file comparisons with avr-objcopy will be skipped")
  target_compile_definitions(test_image PRIVATE TARVANE_IMAGE_FIXTURES="" TARVANE_AVR_OBJCOPY="")
  return()
endif()

set(_dir ${CMAKE_CURRENT_BINARY_DIR}/image-fixtures)
set(_src ${CMAKE_CURRENT_LIST_DIR}/image/sample.c)
set(_image_outputs)

# Each fixture gives its ELF; Flash as avr-objcopy writes it in Intel HEX (.hex), S-record
# (.srec) and binary with holes FFh (.flash.bin); EEPROM the same (.eep, -eeprom.srec,
# .eeprom.bin; the binary starts at the lowest address used).
#  m328:  ATmega328P; .far at 0x7E00 leaves a gap below the boot section.
#  m2560: ATmega2560; .far at 0x3F000 needs extended addresses (HEX 02, S2 records), and
#         .eeprom starts at EEPROM address 0x100.
function(_tarvane_image_fixture name mcu placements)
  set(_b ${_dir}/${name})
  set(_flash -R .eeprom -R .fuse -R .lock)
  set(_eeprom -j .eeprom --change-section-lma .eeprom-0x810000)
  set(_outs ${_b}.elf ${_b}.hex ${_b}.srec ${_b}.flash.bin ${_b}.eep ${_b}-eeprom.srec ${_b}.eeprom.bin)
  add_custom_command(OUTPUT ${_outs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${TARVANE_AVR_GCC} -mmcu=${mcu} -Os -std=c11 -Wall -Wextra -Wpedantic ${placements} -o ${_b}.elf ${_src}
    COMMAND ${TARVANE_AVR_OBJCOPY} -O ihex ${_flash} ${_b}.elf ${_b}.hex
    COMMAND ${TARVANE_AVR_OBJCOPY} -O srec ${_flash} ${_b}.elf ${_b}.srec
    COMMAND ${TARVANE_AVR_OBJCOPY} -O binary --gap-fill 0xFF ${_flash} ${_b}.elf ${_b}.flash.bin
    COMMAND ${TARVANE_AVR_OBJCOPY} -O ihex ${_eeprom} ${_b}.elf ${_b}.eep
    COMMAND ${TARVANE_AVR_OBJCOPY} -O srec ${_eeprom} ${_b}.elf ${_b}-eeprom.srec
    COMMAND ${TARVANE_AVR_OBJCOPY} -O binary --gap-fill 0xFF ${_eeprom} ${_b}.elf ${_b}.eeprom.bin
    DEPENDS ${_src}
    COMMENT "Building image fixture ${name}"
    VERBATIM)
  set(_image_outputs ${_image_outputs} ${_outs} PARENT_SCOPE)
endfunction()

_tarvane_image_fixture(m328 atmega328p "-Wl,--section-start=.far=0x7E00")
_tarvane_image_fixture(m2560 atmega2560 "-Wl,--section-start=.far=0x3F000;-Wl,--section-start=.eeprom=0x810100")

add_custom_target(image_fixtures DEPENDS ${_image_outputs})
add_dependencies(test_image image_fixtures)
target_compile_definitions(test_image PRIVATE TARVANE_IMAGE_FIXTURES="${_dir}"
                                              TARVANE_AVR_OBJCOPY="${TARVANE_AVR_OBJCOPY}")
