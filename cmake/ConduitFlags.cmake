# Compiler flags shared by every target of the project, and the kernel flags that driver
# sources are built with on each toolchain.

set(CONDUIT_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)

# Applies to the whole Linux build: Windows WCHAR is 16 bits and the driver uses L"" literals.
macro(conduit_host_global_flags)
    add_compile_options(-fshort-wchar -fno-omit-frame-pointer)
    if(CONDUIT_SANITIZE)
        string(REPLACE ";" "," _conduit_sanitizers "${CONDUIT_SANITIZE}")
        add_compile_options(-fsanitize=${_conduit_sanitizers} -fno-sanitize-recover=all)
        add_link_options(-fsanitize=${_conduit_sanitizers})
        if("undefined" IN_LIST CONDUIT_SANITIZE)
            # The driver's classes carry no type information (kernel code has no RTTI), so the
            # dynamic-type check cannot follow host and test code into driver objects.
            add_compile_options(-fno-sanitize=vptr)
        endif()
    endif()
    if(CONDUIT_FUZZ)
        if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
            message(FATAL_ERROR "The fuzz preset needs clang (libFuzzer)")
        endif()
        add_compile_options(-fsanitize=fuzzer-no-link)
    endif()
endmacro()

function(conduit_warnings target)
    target_compile_options(${target} PRIVATE ${CONDUIT_WARNINGS})
endfunction()

# Driver sources are kernel code on every toolchain: no exceptions, no RTTI, no thread-safe
# statics (they would call the C++ runtime), no standard library.
function(conduit_kernel_flags target)
    target_compile_options(${target} PRIVATE
        ${CONDUIT_WARNINGS}
        -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
        # operator new may return null in the kernel: check before running constructors.
        -fcheck-new)
    if(CONDUIT_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        # clang's indirect-call check needs type information, which kernel code does not have.
        target_compile_options(${target} PRIVATE -fno-sanitize=function)
    endif()
    if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
        # mingw-w64's DDK headers; the few declarations they lack live in driver/platform.
        target_include_directories(${target} SYSTEM PRIVATE
            ${CMAKE_FIND_ROOT_PATH}/include/ddk)
        # min-pagesize=0: the current thread is read from gs:[0x188], which GCC 12 otherwise
        # takes for a dereference of a null-page address (-Warray-bounds).
        # No strict aliasing: Windows code is written for a compiler that never assumes it.
        # Stack probes are off, so no frame may be large enough to skip the kernel stack's guard
        # page: a frame over 1 KiB (the kit's own analysis limit for kernel code) fails the build.
        # The stack protector checks its cookie (driver/platform/StackCookie.h) on return.
        target_compile_options(${target} PRIVATE -ffreestanding -fstack-protector-strong
            -fno-strict-aliasing -Wframe-larger-than=1024
            -mno-stack-arg-probe -Wno-unknown-pragmas --param=min-pagesize=0)
    else()
        # On Linux the driver sees only the compiler's own headers and host/include, so an
        # include of the C or C++ library is a compile error, as it would be in a kernel build.
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
            OUTPUT_VARIABLE _builtin_include OUTPUT_STRIP_TRAILING_WHITESPACE)
        target_compile_options(${target} PRIVATE -nostdinc -nostdinc++ -ffreestanding
            "SHELL:-isystem ${_builtin_include}"
            "SHELL:-isystem ${PROJECT_SOURCE_DIR}/host/include")
    endif()
endfunction()

# Programs that touch data exported by the driver image (routine slots, name tables) must reach
# the image's own copy: code built as -fPIC goes through the GOT instead of copying the data
# into the program, which the image (bound -Bsymbolic) would never see.
function(conduit_shares_image_data target)
    target_compile_options(${target} PRIVATE -fPIC)
endfunction()
