# Sources of the support library, relative to driver/.
set(CONDUIT_SUPPORT_SOURCES
    support/Placeholder.cpp
)
