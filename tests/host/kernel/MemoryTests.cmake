# Tests of the memory manager. Exporting the program's symbols lets the verifier's reports name
# the test functions that made each allocation.
conduit_add_gtest(host_memory_tests SOURCES MemoryTest.cpp MemoryDeathTest.cpp)
set_target_properties(host_memory_tests PROPERTIES ENABLE_EXPORTS ON)
