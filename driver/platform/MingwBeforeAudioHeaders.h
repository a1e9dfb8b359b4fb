// mingw-w64 only: what its audio headers need before they compile as C++ (filled in by the
// Windows build work).
#pragma once
