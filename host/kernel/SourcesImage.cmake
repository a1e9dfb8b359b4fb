# Driver images: fresh host-build copies, and Windows-built images with their loader, the export
# tables they bind to, the unwinder and exception dispatch that run them.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/DriverImage.cpp
    kernel/ImageContext.cpp
    kernel/ImageExceptions.cpp
    kernel/ImageExports.cpp
    kernel/ImageFaults.cpp
    kernel/ImageUnwind.cpp
    kernel/PeImage.cpp
    kernel/PeImageSymbols.cpp
)
