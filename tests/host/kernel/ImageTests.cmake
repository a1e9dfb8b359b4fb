# Fresh driver-image copies.
conduit_add_gtest(host_image_tests SOURCES DriverImageTest.cpp
    LIBRARIES conduit_driver conduit_driver_headers)

# The PE loader and the image's exceptions, on a small image mingw-w64 builds from a C file and
# the driver's own guarded-call routine (with the probe's callee slot in place of the kernel's
# mapping routine), kept unstripped beside the stripped copy the test loads.
find_program(CONDUIT_MINGW_GCC x86_64-w64-mingw32-gcc REQUIRED)
find_program(CONDUIT_MINGW_STRIP x86_64-w64-mingw32-strip REQUIRED)
set(probe ${CMAKE_CURRENT_BINARY_DIR}/loader-probe)
add_custom_command(OUTPUT ${probe}.sys ${probe}.unstripped.sys
    COMMAND ${CONDUIT_MINGW_GCC} -O2 -ffreestanding -nostdlib -nostartfiles
        -Wl,--subsystem,native -Wl,-e,ProbeEntry -Wl,--dynamicbase -Wl,--nxcompat
        -Wl,--image-base,0x140000000 -Wl,--exclude-all-symbols -Wl,--fatal-warnings
        -DCONDUIT_GUARDED_CALLEE=probeCallee
        ${CMAKE_CURRENT_SOURCE_DIR}/images/LoaderProbe.c
        ${PROJECT_SOURCE_DIR}/driver/platform/GuardedMappingMingw.S
        -lntoskrnl -lhal -o ${probe}.unstripped.sys
    COMMAND ${CONDUIT_MINGW_STRIP} -o ${probe}.sys ${probe}.unstripped.sys
    DEPENDS images/LoaderProbe.c ${PROJECT_SOURCE_DIR}/driver/platform/GuardedMappingMingw.S
    VERBATIM)
add_custom_target(conduit_loader_probe DEPENDS ${probe}.sys)
conduit_add_gtest(host_pe_image_tests SOURCES PeImageTest.cpp)
add_dependencies(host_pe_image_tests conduit_loader_probe)
target_compile_definitions(host_pe_image_tests PRIVATE CONDUIT_LOADER_PROBE="${probe}.sys")

# The export tables name only what each Windows module exports, and bind every Windows routine
# the host defines (scripts/check-image-exports.sh).
add_test(NAME host_image_export_tables
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-image-exports.sh $<TARGET_FILE:conduit_host>)
