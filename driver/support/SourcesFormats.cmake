# Data-format and attribute-list checks, wave format records and their diagnostics.
list(APPEND CONDUIT_SUPPORT_SOURCES
    support/AttributeList.cpp
    support/DataFormat.cpp
    support/Diagnostics.cpp
    support/WaveFormat.cpp
)
