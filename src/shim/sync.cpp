#include "shim/sync.h"

void InitializeCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_init(section, nullptr); }

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(section); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(section); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(section); }

long InterlockedIncrement(volatile long* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }

long InterlockedDecrement(volatile long* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }
