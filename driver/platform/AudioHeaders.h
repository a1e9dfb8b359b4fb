// The one include through which driver code reaches the Windows audio headers (port-class,
// kernel streaming, wave formats). mingw-w64's headers need the additions kept here.
#pragma once

#include "KernelHeaders.h"

#if defined(__MINGW32__)
#include "MingwBeforeAudioHeaders.h"
#endif

#include <portcls.h>
#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>

#if defined(__MINGW32__)
#include "MingwAfterAudioHeaders.h"
#endif
