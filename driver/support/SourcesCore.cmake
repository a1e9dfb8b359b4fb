# The support library's core: memory, locks, lists, start-up and the C++ runtime pieces.
list(APPEND CONDUIT_SUPPORT_SOURCES
    support/CppRuntime.cpp
    support/Lists.cpp
    support/Locks.cpp
    support/Memory.cpp
    support/Startup.cpp
)
