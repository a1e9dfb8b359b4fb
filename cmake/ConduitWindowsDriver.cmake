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

# The image needs DriverEntry, which lives in driver/adapter; until those sources exist there is
# nothing to link, and no stand-in entry point is linked in its place.
if(NOT CONDUIT_ADAPTER_SOURCES)
    message(STATUS "conduit.sys: no adapter sources (DriverEntry) yet, the image is not linked")
    return()
endif()

# No user-mode libraries: CMake would otherwise add kernel32 and friends to every link here.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

add_executable(conduit_sys $<TARGET_OBJECTS:conduit_driver_objects>)
add_dependencies(conduit_sys conduit_portcls_imports)
set_target_properties(conduit_sys PROPERTIES
    OUTPUT_NAME conduit
    SUFFIX .sys
    LINKER_LANGUAGE CXX
    LINK_DEPENDS ${CONDUIT_PORTCLS_IMPORTS})
# The native subsystem, entered at DriverEntry, with no runtime start-up files or libraries.
# Linked as an executable: -shared would add an (empty) export directory. --dynamicbase keeps
# the relocations the kernel loader needs; --fatal-warnings turns a missing entry symbol (which
# ld otherwise only warns about) into a failed link; -s drops the libraries' DWARF.
target_link_options(conduit_sys PRIVATE
    -nostdlib -nostartfiles
    -Wl,--fatal-warnings
    -Wl,--subsystem,native
    -Wl,-e,DriverEntry
    -Wl,--exclude-all-symbols
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--image-base,0x140000000
    -s)
# ksguid and uuid are data only (the KS GUIDs mingw's headers declare but do not define);
# libgcc supplies compiler helpers, never a runtime.
target_link_libraries(conduit_sys PRIVATE
    ${CONDUIT_PORTCLS_IMPORTS} ntoskrnl hal ksguid uuid gcc)
