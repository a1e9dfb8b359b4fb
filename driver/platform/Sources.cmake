# Sources of the toolchain-specific pieces, relative to driver/. The guarded user mapping is
# per toolchain: MSVC compiles GuardedMappingMsvc.cpp, mingw-w64 assembles GuardedMappingMingw.S,
# and on Linux the host platform provides it. mingw-w64 also needs an entry point of the image's
# own that draws the stack protector's cookie (MSVC's kernel library brings one).
set(CONDUIT_PLATFORM_SOURCES
)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    if(MSVC)
        list(APPEND CONDUIT_PLATFORM_SOURCES platform/GuardedMappingMsvc.cpp)
    else()
        list(APPEND CONDUIT_PLATFORM_SOURCES platform/GuardedMappingMingw.S
            platform/ImageEntryMingw.cpp)
    endif()
endif()
