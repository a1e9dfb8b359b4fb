// The NT driver kit header for the host build: WDM plus the NT-only calls.
#pragma once
#include "wdm.h"
