# GoogleTest is built from the sources of Debian's googletest package with the project's own
# flags (notably -fshort-wchar), never linked from a prebuilt archive.
set(CONDUIT_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${CONDUIT_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${CONDUIT_GOOGLETEST_SOURCE}; "
        "run scripts/install-deps.sh")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${CONDUIT_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest
    EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)
