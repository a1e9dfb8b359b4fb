# Arbitrary control requests to the client files of the driver, loaded in the host platform.
conduit_add_fuzzer(fuzz_control_requests SOURCES ControlFuzzer.cpp
    LIBRARIES conduit_host conduit_driver conduit_driver_headers)
# The driver's classes carry no type information, so the undefined-behaviour checker cannot
# verify the dynamic type when the host calls through their interfaces: that check alone is
# suppressed, for host sources only.
set(_control_suppressions ${CMAKE_CURRENT_BINARY_DIR}/fuzz_control_requests.supp)
file(WRITE ${_control_suppressions} "vptr:host/portcls/*\nvptr:host/kernel/*\n")
target_compile_definitions(fuzz_control_requests PRIVATE
    CONTROL_FUZZER_SUPPRESSIONS="${_control_suppressions}")
