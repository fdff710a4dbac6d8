// Critical sections and interlocked counters on POSIX threads and compiler atomics.
#pragma once

#include <pthread.h>

#include "shim/types.h"

// A critical section is an ordinary mutex: unlike Win32 it is not recursive, so a thread
// must never enter one it already holds.
using CRITICAL_SECTION = pthread_mutex_t;
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

VESK_EXPORT void InitializeCriticalSection(LPCRITICAL_SECTION section);
VESK_EXPORT void EnterCriticalSection(LPCRITICAL_SECTION section);
VESK_EXPORT void LeaveCriticalSection(LPCRITICAL_SECTION section);
VESK_EXPORT void DeleteCriticalSection(LPCRITICAL_SECTION section);

// The counters are 64-bit (`long` here), unlike the 32-bit Win32 LONG.
VESK_EXPORT long InterlockedIncrement(volatile long* addend);
VESK_EXPORT long InterlockedDecrement(volatile long* addend);
