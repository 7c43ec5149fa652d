// Marks where objects are handed to, and called back from, Fast DDS threads.
//
// libfastrtps is not built with ThreadSanitizer, so the ordering its own
// locks give (an object built here, then used on one of its threads) is
// invisible to TSan. These markers state that ordering explicitly; outside
// TSan builds they compile to nothing.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define VANTREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VANTREL_TSAN 1
#endif
#endif

#ifdef VANTREL_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void handoff_release(const void* p) { __tsan_release(const_cast<void*>(p)); }
inline void handoff_acquire(const void* p) { __tsan_acquire(const_cast<void*>(p)); }
#else
inline void handoff_release(const void*) {}
inline void handoff_acquire(const void*) {}
#endif

// Held for the duration of a callback into an object owned by this side.
class HandoffScope {
public:
    explicit HandoffScope(const void* p) : p_(p) { handoff_acquire(p_); }
    ~HandoffScope() { handoff_release(p_); }
    HandoffScope(const HandoffScope&) = delete;
    HandoffScope& operator=(const HandoffScope&) = delete;

private:
    const void* p_;
};
