# The Windows side of driver/: the header check (compiled, never linked into the image), the
# portcls.sys import library mingw-w64 lacks, and the conduit.sys link. Included by
# driver/CMakeLists.txt for the windows preset after conduit_driver_objects is defined.

# Proof that the platform headers compile as kernel C++ with Windows's layouts and values.
add_library(conduit_platform_header_check OBJECT platform/MingwHeaderCheck.cpp)
target_include_directories(conduit_platform_header_check PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
conduit_kernel_flags(conduit_platform_header_check)

# The interface slot table, measured by the Wine test program (tests/windows).
add_library(conduit_platform_interface_slots OBJECT platform/MingwInterfaceSlots.cpp)
target_include_directories(conduit_platform_interface_slots PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
conduit_kernel_flags(conduit_platform_interface_slots)

set(CONDUIT_PORTCLS_DEF ${CMAKE_CURRENT_SOURCE_DIR}/platform/portcls.def)
set(CONDUIT_PORTCLS_IMPORTS ${CMAKE_CURRENT_BINARY_DIR}/libportcls.a)
add_custom_command(OUTPUT ${CONDUIT_PORTCLS_IMPORTS}
    COMMAND ${CMAKE_DLLTOOL} -m i386:x86-64 -d ${CONDUIT_PORTCLS_DEF} -l ${CONDUIT_PORTCLS_IMPORTS}
    DEPENDS ${CONDUIT_PORTCLS_DEF}
    COMMENT "Import library for portcls.sys"
    VERBATIM)
add_custom_target(conduit_portcls_imports ALL DEPENDS ${CONDUIT_PORTCLS_IMPORTS})

# The image needs DriverEntry, which lives in driver/adapter; a build without it is broken, not
# a build without a driver.
if(NOT CONDUIT_ADAPTER_SOURCES)
    message(FATAL_ERROR "conduit.sys: no adapter sources (DriverEntry) to link")
endif()

# No user-mode libraries: CMake would otherwise add kernel32 and friends to every link here.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

# Linked once with its symbols and a link map (conduit.unstripped.sys, conduit.map: what a crash
# report in the host is symbolised from), then stripped into the conduit.sys that ships.
add_executable(conduit_sys $<TARGET_OBJECTS:conduit_driver_objects>)
add_dependencies(conduit_sys conduit_portcls_imports)
set_target_properties(conduit_sys PROPERTIES
    OUTPUT_NAME conduit.unstripped
    SUFFIX .sys
    LINKER_LANGUAGE CXX
    LINK_DEPENDS ${CONDUIT_PORTCLS_IMPORTS})
# The native subsystem, entered at ImageEntry (which draws the stack protector's cookie and runs
# DriverEntry), with no runtime start-up files or libraries. Linked as an executable: -shared
# would add an (empty) export directory. --dynamicbase keeps the relocations the kernel loader
# needs; --fatal-warnings turns a missing entry symbol (which ld otherwise only warns about) into
# a failed link.
target_link_options(conduit_sys PRIVATE
    -nostdlib -nostartfiles
    -Wl,--fatal-warnings
    -Wl,--subsystem,native
    -Wl,-e,ImageEntry
    -Wl,--exclude-all-symbols
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--image-base,0x140000000
    -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/conduit.map)
# ksguid and uuid are data only (the KS GUIDs mingw's headers declare but do not define);
# libgcc supplies compiler helpers, never a runtime.
target_link_libraries(conduit_sys PRIVATE
    ${CONDUIT_PORTCLS_IMPORTS} ntoskrnl hal ksguid uuid gcc)
# Stripping keeps the sections byte for byte (the host checks that before it trusts the
# unstripped copy's symbols) and the header checksum valid.
add_custom_command(TARGET conduit_sys POST_BUILD
    COMMAND ${CMAKE_STRIP} -o ${CMAKE_CURRENT_BINARY_DIR}/conduit.sys $<TARGET_FILE:conduit_sys>
    BYPRODUCTS ${CMAKE_CURRENT_BINARY_DIR}/conduit.sys ${CMAKE_CURRENT_BINARY_DIR}/conduit.map
    VERBATIM)
