# SPDX-License-Identifier: GPL-3.0-or-later
# Where the user's files live, the program started as a user who cannot write beside it, and
# the desktop files checked by the validators the desktops use.
tarvane_test(test_paths SOURCES test_paths.cpp support/scripteddialogs.h LIBS tarvane_gui)
target_include_directories(test_paths PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)

if(UNIX)
  add_test(NAME startup_as_user COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/startup_check.sh $<TARGET_FILE:tarvane>)
  set_tests_properties(startup_as_user PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
