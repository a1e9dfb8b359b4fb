# Sources of the support library, relative to driver/. Each group lists its own files.
set(CONDUIT_SUPPORT_SOURCES)
foreach(group Core Text Formats)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/Sources${group}.cmake)
        include(${CMAKE_CURRENT_LIST_DIR}/Sources${group}.cmake)
    endif()
endforeach()
