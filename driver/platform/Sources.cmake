# Sources of the toolchain-specific pieces, relative to driver/.
set(CONDUIT_PLATFORM_SOURCES
)
