# SPDX-License-Identifier: GPL-3.0-or-later
# Production runs: the serial numbers and the CSV log on their own.
# The file calls that fail on purpose (support/faultshim.cpp) are linked in: a full disk and a
# failed rename within the test itself.
tarvane_test(test_production SOURCES test_production.cpp support/faultshim.cpp
             LIBS tarvane_production ${CMAKE_DL_LIBS})
