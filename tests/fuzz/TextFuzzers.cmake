# The bounded formatter under arbitrary formats and arguments.
conduit_add_fuzzer(fuzz_format_string SOURCES FormatStringFuzzer.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
