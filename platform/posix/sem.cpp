// sem.cpp - POSIX: a process-local counting semaphore with a maximum count, as on Windows.
#include <cerrno>
#include <pthread.h>

#include "vp.h"

namespace {
struct Sem {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int count;
    int maximum;
};
// The tag lock is the only user; a small static pool avoids the heap.
constexpr int kPool = 8;
Sem pool[kPool];
int used = 0;
pthread_mutex_t pool_mutex = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

int vp_sem_create(int initial, int maximum, vp_sem* sem) {
    *sem = VP_NO_SEM;
    if (initial < 0 || maximum <= 0 || initial > maximum) return EINVAL;
    pthread_mutex_lock(&pool_mutex);
    if (used == kPool) {
        pthread_mutex_unlock(&pool_mutex);
        return ENOMEM;
    }
    Sem* s = &pool[used++];
    pthread_mutex_unlock(&pool_mutex);
    pthread_mutex_init(&s->mutex, nullptr);
    pthread_cond_init(&s->cond, nullptr);
    s->count = initial;
    s->maximum = maximum;
    *sem = reinterpret_cast<vp_sem>(s);
    return 0;
}

void vp_sem_wait(vp_sem sem) {
    if (sem == VP_NO_SEM) return;
    Sem* s = reinterpret_cast<Sem*>(sem);
    pthread_mutex_lock(&s->mutex);
    while (s->count == 0) pthread_cond_wait(&s->cond, &s->mutex);
    s->count--;
    pthread_mutex_unlock(&s->mutex);
}

int vp_sem_release(vp_sem sem) {
    if (sem == VP_NO_SEM) return EBADF;
    Sem* s = reinterpret_cast<Sem*>(sem);
    pthread_mutex_lock(&s->mutex);
    // Like ReleaseSemaphore: a release that would pass the maximum fails and changes nothing.
    if (s->count >= s->maximum) {
        pthread_mutex_unlock(&s->mutex);
        return EOVERFLOW;
    }
    s->count++;
    pthread_cond_signal(&s->cond);
    pthread_mutex_unlock(&s->mutex);
    return 0;
}
