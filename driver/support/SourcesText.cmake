# The bounded formatter, GUID names and the image's GUID definitions.
list(APPEND CONDUIT_SUPPORT_SOURCES
    support/StringFormatter.cpp
    support/GuidNames.cpp
    support/GuidNameTables.cpp
    support/GuidDefinitions.cpp
)
