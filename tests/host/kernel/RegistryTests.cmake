# Tests of the registry and the audio endpoint stores.
conduit_add_gtest(host_registry_tests SOURCES RegistryTest.cpp RegistryAccessTest.cpp)
