tarvane_test(test_catalogue SOURCES test_catalogue.cpp LIBS tarvane_catalogue)
tarvane_test(test_settings SOURCES test_settings.cpp LIBS tarvane_gui)
