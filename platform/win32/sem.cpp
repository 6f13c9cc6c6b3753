// sem.cpp - Win32: an unnamed, process-local counting semaphore.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "vp.h"

int vp_sem_create(int initial, int maximum, vp_sem* sem) {
    *sem = VP_NO_SEM;
    HANDLE h = CreateSemaphoreA(nullptr, initial, maximum, nullptr);
    if (h == nullptr) return static_cast<int>(GetLastError());
    *sem = reinterpret_cast<vp_sem>(h);
    return 0;
}

// VP_NO_SEM is the null handle, so a wait on it fails at once instead of blocking.
void vp_sem_wait(vp_sem sem) { WaitForSingleObject(reinterpret_cast<HANDLE>(sem), INFINITE); }

int vp_sem_release(vp_sem sem) {
    // A release past the maximum fails with ERROR_TOO_MANY_POSTS and leaves the count alone.
    if (!ReleaseSemaphore(reinterpret_cast<HANDLE>(sem), 1, nullptr))
        return static_cast<int>(GetLastError());
    return 0;
}
