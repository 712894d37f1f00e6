# The adapter simulator, as a library and as the adapter-sim program.
tarvane_test(test_adaptersim SOURCES test_adaptersim.cpp LIBS adaptersim)
add_dependencies(test_adaptersim adapter-sim)
