// A lock for memory that several processes share (an anonymous shared mapping made before they
// were forked). It is robust: a process that dies holding it does not leave it locked; the next
// one to lock it is told, so it can repair or reset what may be half-written.
#ifndef WEBSRV_SUPPORT_SHARED_LOCK_H
#define WEBSRV_SUPPORT_SHARED_LOCK_H

#include <cerrno>
#include <pthread.h>

// Makes `lock` a robust process-shared mutex. Returns 0, or the error number of the call that
// failed. (The attributes hold no resource that would need pthread_mutexattr_destroy.)
inline int websrv_shared_lock_init(pthread_mutex_t *lock)
{
    pthread_mutexattr_t attributes;
    int result = pthread_mutexattr_init(&attributes);
    if (result == 0)
        result = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (result == 0)
        result = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    return result == 0 ? pthread_mutex_init(lock, &attributes) : result;
}

// Holds a shared lock for as long as it lives. `held()` is false when it could not be had;
// `recovered()` is true when its last holder died holding it (the lock is usable again, but the
// data it guards may be half-written).
class websrv_shared_guard {
public:
    explicit websrv_shared_guard(pthread_mutex_t *lock) : lock_(lock)
    {
        if (lock_ == nullptr)
            return;
        const int result = pthread_mutex_lock(lock_);
        recovered_ = result == EOWNERDEAD;
        if (recovered_)
            pthread_mutex_consistent(lock_);
        held_ = result == 0 || recovered_;
    }
    ~websrv_shared_guard()
    {
        if (held_)
            pthread_mutex_unlock(lock_);
    }
    websrv_shared_guard(const websrv_shared_guard &) = delete;
    websrv_shared_guard &operator=(const websrv_shared_guard &) = delete;
    bool held() const { return held_; }
    bool recovered() const { return recovered_; }

private:
    pthread_mutex_t *lock_;
    bool held_ = false;
    bool recovered_ = false;
};

#endif
