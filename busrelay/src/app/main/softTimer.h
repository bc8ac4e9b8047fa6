// Software timers driven by the main loop from a monotonic millisecond clock.
// The list is used by the main thread only and never allocates: callers own
// the records.
#pragma once

#include <cstdint>

enum SoftTimerEvent {
    SOFT_TIMER_ARMED = 0,
    SOFT_TIMER_EXPIRED = 1,
};

typedef void (*SoftTimerCallback)(void *userData, SoftTimerEvent event);

struct SoftTimer {
    SoftTimer *next;
    SoftTimer *previous;
    int32_t expiry;  // clock value at which the timer is next due
    int32_t period;  // ms
    SoftTimerCallback callback;
    void *userData;
};

constexpr int32_t SOFT_TIMER_TICK_MS = 20;

void soft_timer_start(SoftTimer *timer, void *userData, int32_t periodMs, SoftTimerCallback cb);
// Advances the clock by one 20 ms step and runs the due timers.
void soft_timer_tick();
// Sets the clock to `now` (ms, taken modulo 2^32 from a monotonic source) and
// runs the due timers in list order; each runs at most once per call.
void soft_timer_advance(int32_t now);
// Milliseconds from the clock to the earliest expiry (0 when one is due), or
// -1 when no timer is armed.
int32_t soft_timer_next_due();

// The software clock wraps after about 24.8 days; sums and the due test are
// done modulo 2^32 so that timers keep firing across the wrap.
int32_t soft_timer_clock();
int32_t soft_clock_add(int32_t a, int32_t b);
bool soft_clock_due(int32_t now, int32_t expiry);

// For tests: place the clock anywhere (e.g. just before the wrap) and empty
// the list. Timers still linked are unlinked.
void soft_timer_reset(int32_t clock);
