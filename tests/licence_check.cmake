# SPDX-License-Identifier: GPL-3.0-or-later
# Every source file names its licence in its first lines, so a file copied out of the tree
# still says under what terms. Run as: cmake -DROOT=<source dir> -P licence_check.cmake
file(GLOB_RECURSE _files RELATIVE ${ROOT}
  ${ROOT}/*.cpp ${ROOT}/*.h ${ROOT}/*.c ${ROOT}/*.py ${ROOT}/*.sh ${ROOT}/*.cmake ${ROOT}/CMakeLists.txt)
set(_missing "")
foreach(_f IN LISTS _files)
  if(_f MATCHES "^build/" OR _f MATCHES "/build/" OR _f MATCHES "^\\.git/")
    continue()
  endif()
  file(STRINGS ${ROOT}/${_f} _head LIMIT_COUNT 3)
  if(NOT _head MATCHES "SPDX-License-Identifier: GPL-3.0-or-later")
    list(APPEND _missing ${_f})
  endif()
endforeach()
if(_missing)
  list(JOIN _missing "\n  " _text)
  message(FATAL_ERROR "no SPDX licence line in:\n  ${_text}")
endif()
list(LENGTH _files _count)
message(STATUS "${_count} source files carry the licence line")
