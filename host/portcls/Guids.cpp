// The one translation unit of the host library that defines the GUIDs its headers declare.
#include <initguid.h>

#include <portcls.h>
