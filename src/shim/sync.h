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

// Holds a critical section for as long as it lives. A helper that expects its caller to hold
// one is named with a Locked suffix.
class CCriticalSectionLock {
public:
    explicit CCriticalSectionLock(LPCRITICAL_SECTION section) : m_pSection(section) { EnterCriticalSection(section); }
    ~CCriticalSectionLock() { LeaveCriticalSection(m_pSection); }
    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

private:
    LPCRITICAL_SECTION m_pSection;
};

// The counters are 64-bit (`long` here), unlike the 32-bit Win32 LONG.
VESK_EXPORT long InterlockedIncrement(volatile long* addend);
VESK_EXPORT long InterlockedDecrement(volatile long* addend);
