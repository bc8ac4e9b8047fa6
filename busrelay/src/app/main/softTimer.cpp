#include "softTimer.h"

namespace {

SoftTimer g_head = {&g_head, &g_head, 0, 0, nullptr, nullptr};
int32_t g_clock = 0;

void arm(SoftTimer *t) {
    t->expiry = soft_clock_add(g_clock, t->expiry);
    if (t->next != nullptr && t->previous != nullptr) return;  // already listed
    if (t->callback) t->callback(t->userData, SOFT_TIMER_ARMED);
    t->previous = g_head.previous;
    t->next = &g_head;
    g_head.previous->next = t;
    g_head.previous = t;
}

}  // namespace

int32_t soft_clock_add(int32_t a, int32_t b) {
    return (int32_t)((uint32_t)a + (uint32_t)b);
}

bool soft_clock_due(int32_t now, int32_t expiry) {
    return (int32_t)((uint32_t)now - (uint32_t)expiry) >= 0;
}

int32_t soft_timer_clock() { return g_clock; }

void soft_timer_start(SoftTimer *timer, void *userData, int32_t periodMs, SoftTimerCallback cb) {
    timer->userData = userData;
    timer->callback = cb;
    timer->expiry = periodMs;
    timer->period = periodMs;
    arm(timer);
}

void soft_timer_tick() { soft_timer_advance(soft_clock_add(g_clock, SOFT_TIMER_TICK_MS)); }

int32_t soft_timer_next_due() {
    int32_t best = -1;
    for (SoftTimer *t = g_head.next; t != &g_head; t = t->next) {
        if (!t->callback) continue;
        int32_t left = (int32_t)((uint32_t)t->expiry - (uint32_t)g_clock);
        if (left < 0) left = 0;
        if (best < 0 || left < best) best = left;
    }
    return best;
}

void soft_timer_advance(int32_t now) {
    g_clock = now;
    SoftTimer *t = g_head.next;
    while (t != &g_head) {
        SoftTimer *successor = t->next;
        if (t->callback && soft_clock_due(g_clock, t->expiry)) {
            t->callback(t->userData, SOFT_TIMER_EXPIRED);
            t->expiry = soft_clock_add(g_clock, t->period);
        }
        t = successor;
    }
}

void soft_timer_reset(int32_t clock) {
    SoftTimer *t = g_head.next;
    while (t != &g_head) {
        SoftTimer *successor = t->next;
        t->next = t->previous = nullptr;
        t = successor;
    }
    g_head.next = g_head.previous = &g_head;
    g_clock = clock;
}
