# SPDX-License-Identifier: GPL-3.0-or-later
# The licence check judges the tree's own files only: not what a link inside the tree leads to,
# nor anything under build/. Run as: cmake -DCHECK=<licence_check.cmake> -DWORK=<scratch dir> -P
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/tree/src ${WORK}/tree/build/pkg ${WORK}/outside)
file(WRITE ${WORK}/tree/src/own.cpp "// SPDX-License-Identifier: GPL-3.0-or-later\n")
file(WRITE ${WORK}/tree/CMakeLists.txt "# SPDX-License-Identifier: GPL-3.0-or-later\n")
# Someone else's files, without our licence line.
file(WRITE ${WORK}/outside/theirs.cpp "// another licence\n")
file(WRITE ${WORK}/tree/build/pkg/theirs.h "// another licence\n")
file(CREATE_LINK ${WORK}/outside ${WORK}/tree/src/linked SYMBOLIC)
file(CREATE_LINK ${WORK}/outside ${WORK}/tree/linked-top SYMBOLIC)
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${WORK}/tree -P ${CHECK} RESULT_VARIABLE _result
  OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(NOT _result EQUAL 0 OR NOT _out MATCHES "2 source files carry the licence line")
  message(FATAL_ERROR "the check judged files that are not the tree's own:\n${_out}")
endif()
# And it still finds a file of the tree's own without the line.
file(WRITE ${WORK}/tree/src/unmarked.cpp "// no line\n")
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${WORK}/tree -P ${CHECK} RESULT_VARIABLE _result
  OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(_result EQUAL 0 OR NOT _out MATCHES "src/unmarked.cpp")
  message(FATAL_ERROR "the check missed src/unmarked.cpp:\n${_out}")
endif()
