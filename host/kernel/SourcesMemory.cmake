# The memory manager: pages in a memory file, MDLs, system and user mappings.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/MemoryCalls.cpp
    kernel/MemoryManager.cpp
    kernel/MemoryMappings.cpp
)
