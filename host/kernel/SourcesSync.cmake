# Thread objects, events, mutexes and waits.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/Dispatcher.cpp
    kernel/DispatcherWaits.cpp
    kernel/Event.cpp
    kernel/Mutex.cpp
    kernel/ProcessorBlock.cpp
    kernel/Thread.cpp
    kernel/Timekeeper.cpp
    kernel/Timeout.cpp
    kernel/Wait.cpp
)
