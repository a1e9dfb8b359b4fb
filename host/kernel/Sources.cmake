# Sources of the host kernel core, relative to host/. Each group lists its own files.
set(CONDUIT_HOST_KERNEL_SOURCES
    kernel/Machine.cpp
    kernel/BugCheck.cpp
    kernel/Irql.cpp
    kernel/Process.cpp
)
foreach(group Pool Sync Io Memory Image Registry Objects)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/Sources${group}.cmake)
        include(${CMAKE_CURRENT_LIST_DIR}/Sources${group}.cmake)
    endif()
endforeach()
