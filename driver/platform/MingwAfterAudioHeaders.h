// mingw-w64 only: audio declarations its headers lack (filled in by the Windows build work).
#pragma once
