# Data-format blocks and attribute lists as user mode may hand them over.
conduit_add_fuzzer(fuzz_data_format SOURCES DataFormatFuzzer.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
conduit_add_fuzzer(fuzz_attribute_list SOURCES AttributeListFuzzer.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
