// Taking a mutex whose holder may keep it a long while, for a caller that must be able to
// give up meanwhile (an interrupted request, a capture thread being stopped).
#ifndef FRIX_DEVICE_PATIENT_LOCK_H
#define FRIX_DEVICE_PATIENT_LOCK_H

#include <pthread.h>
#include <time.h>

#include <boost/thread/mutex.hpp>

namespace frix {

// True once `mutex` is held; false as soon as give_up() says so, which it is asked every
// `period_us`. The caller sleeps in the kernel until the holder lets go, so it takes over
// at once: polling with naps cost a streaming client whole frames a nap.
template <class GiveUp>
bool lock_unless(boost::mutex& mutex, GiveUp give_up, long period_us = 5000) {
    if (mutex.try_lock()) return true;
    for (;;) {
        if (give_up()) return false;
        timespec deadline{};
        // The real-time clock is what the call takes; a clock step only moves one ask.
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += period_us * 1000;
        deadline.tv_sec += deadline.tv_nsec / 1000000000;
        deadline.tv_nsec %= 1000000000;
        if (pthread_mutex_timedlock(mutex.native_handle(), &deadline) == 0) return true;
    }
}

}  // namespace frix

#endif
