# Tests of the registry.
conduit_add_gtest(host_registry_tests SOURCES RegistryTest.cpp)
