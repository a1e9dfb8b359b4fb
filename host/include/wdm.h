// The Windows Driver Model header for the host build: everything a WDM driver may call.
#pragma once
#include "ntdef.h"
#include "ntstatus.h"
#include "nt/kernel.h"
#if __has_include("nt/memory.h")
#include "nt/memory.h"
#endif
#include "nt/io.h"
