# The bounded formatter and the GUID names.
conduit_add_gtest(support_text_tests
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/StringFormatterTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/GuidNamesTest.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
