// The Windows Driver Model header for the host build: everything a WDM driver may call.
#pragma once
#include "ntdef.h"
#include "ntstatus.h"
#include "devpropdef.h"
#include "nt/kernel.h"
#include "nt/memory.h"
#include "nt/io.h"
#include "nt/registry.h"
#include "nt/objects.h"
#include "nt/exceptions.h"
