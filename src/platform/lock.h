// A process-wide lock for the little state sessions share (the sockets-layer
// user count, the attached host context). The mingw runtime the DLL is built
// with has no std::mutex, so Windows uses a critical section.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <mutex>
#endif

namespace brevorin::platform {

class Lock {
public:
#if defined(_WIN32)
    Lock() { InitializeCriticalSection(&section_); }
    ~Lock() { DeleteCriticalSection(&section_); }
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }
#else
    Lock() = default;
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
#endif
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
#if defined(_WIN32)
    CRITICAL_SECTION section_;
#else
    std::mutex mutex_;
#endif
};

class Hold {
public:
    explicit Hold(Lock& lock) : lock_(lock) { lock_.lock(); }
    ~Hold() { lock_.unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    Lock& lock_;
};

}  // namespace brevorin::platform
