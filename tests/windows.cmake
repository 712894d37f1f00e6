# SPDX-License-Identifier: GPL-3.0-or-later
# The choices of the Windows build, as pure functions, checked on the build machine.
tarvane_test(test_windows SOURCES test_windows.cpp LIBS tarvane_link tarvane_paths)
