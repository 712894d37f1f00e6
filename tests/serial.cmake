# SPDX-License-Identifier: GPL-3.0-or-later
# File > Options and its list of ports.
tarvane_test(test_options SOURCES test_options.cpp LIBS tarvane_gui)
