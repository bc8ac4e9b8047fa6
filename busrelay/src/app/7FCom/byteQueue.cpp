#include "byteQueue.h"

#include <cstring>
#include <mutex>

#include "logger.h"

namespace {

BlockPool g_pool = {{{0}}, 0};
std::mutex g_poolLock;

inline int block_of(uint16_t pos) { return pos / POOL_BLOCK_SIZE; }
inline int offset_of(uint16_t pos) { return pos % POOL_BLOCK_SIZE; }
inline uint8_t &link_of(int block) { return g_pool.storage[block][POOL_BLOCK_DATA]; }

uint8_t alloc_block() {
    if (g_pool.freeSet == 0) return POOL_NO_BLOCK;
    int index = __builtin_ctzll(g_pool.freeSet);
    g_pool.freeSet &= ~(1ull << index);
    link_of(index) = POOL_NO_BLOCK;
    return (uint8_t)index;
}

void free_block(int block) {
    if (block >= 0 && block < POOL_BLOCKS) g_pool.freeSet |= 1ull << block;
}

void set_empty(ByteQueue *q) {
    q->writePos = QUEUE_EMPTY_POS;
    q->readPos = QUEUE_EMPTY_POS;
    q->count = 0;
}

bool valid_pos(uint16_t pos) {
    return block_of(pos) < POOL_BLOCKS && offset_of(pos) <= POOL_BLOCK_DATA;
}

// The count claims bytes the chain does not hold (or a position is out of the
// pool). Correct use cannot get here; report and start the queue afresh.
void reset_inconsistent(ByteQueue *q, const char *where) {
    LOG_FATAL("byte queue inconsistent in %s: count %u beyond its chain, queue reset", where,
              (unsigned)q->count);
    if (valid_pos(q->readPos)) free_block(block_of(q->readPos));
    set_empty(q);
}

int write_locked(ByteQueue *q, const uint8_t *src, int length) {
    if (length <= 0) return 0;
    int done = 0;
    while (done < length) {
        if (q->count > q->limit) break;
        if (q->writePos == QUEUE_EMPTY_POS) {
            uint8_t b = alloc_block();
            if (b == POOL_NO_BLOCK) break;
            q->writePos = q->readPos = (uint16_t)(b * POOL_BLOCK_SIZE);
        } else if (offset_of(q->writePos) == POOL_BLOCK_DATA) {
            uint8_t b = alloc_block();
            link_of(block_of(q->writePos)) = b;
            if (b == POOL_NO_BLOCK) break;
            q->writePos = (uint16_t)(b * POOL_BLOCK_SIZE);
        }
        int room = POOL_BLOCK_DATA - offset_of(q->writePos);
        int n = length - done < room ? length - done : room;
        memcpy(&g_pool.storage[block_of(q->writePos)][offset_of(q->writePos)], src + done, n);
        q->writePos = (uint16_t)(q->writePos + n);
        q->count = (uint16_t)(q->count + n);
        done += n;
    }
    return done;
}

// Bytes readable in the read position's block before the chain moves on.
int readable_in_block(const ByteQueue *q) {
    if (block_of(q->readPos) == block_of(q->writePos))
        return offset_of(q->writePos) - offset_of(q->readPos);
    return POOL_BLOCK_DATA - offset_of(q->readPos);
}

int consume_locked(ByteQueue *q, uint8_t *dst, int max) {
    int done = 0;
    while (max > 0) {
        if (q->count == 0) {
            set_empty(q);
            break;
        }
        if (!valid_pos(q->readPos) || !valid_pos(q->writePos)) {
            reset_inconsistent(q, "consume");
            break;
        }
        if (offset_of(q->readPos) == POOL_BLOCK_DATA) {
            int block = block_of(q->readPos);
            uint8_t next = link_of(block);
            free_block(block);
            if (next == POOL_NO_BLOCK || next >= POOL_BLOCKS) {
                // The chain ends while the count says bytes remain.
                q->readPos = QUEUE_EMPTY_POS;
                reset_inconsistent(q, "consume");
                break;
            }
            q->readPos = (uint16_t)(next * POOL_BLOCK_SIZE);
        }
        int avail = readable_in_block(q);
        if (avail <= 0) {
            reset_inconsistent(q, "consume");
            break;
        }
        int n = avail;
        if (n > max) n = max;
        if (n > q->count) n = q->count;
        if (dst) memcpy(dst + done, &g_pool.storage[block_of(q->readPos)][offset_of(q->readPos)], n);
        q->readPos = (uint16_t)(q->readPos + n);
        q->count = (uint16_t)(q->count - n);
        done += n;
        max -= n;
        if (q->count == 0) {
            free_block(block_of(q->readPos));
            set_empty(q);
            break;
        }
    }
    return done;
}

}  // namespace

void pool_reset() {
    std::lock_guard<std::mutex> guard(g_poolLock);
    g_pool.freeSet = POOL_BLOCKS == 64 ? ~0ull : (1ull << POOL_BLOCKS) - 1;
}

int pool_free_blocks() {
    std::lock_guard<std::mutex> guard(g_poolLock);
    return __builtin_popcountll(g_pool.freeSet);
}

void queue_init(ByteQueue *q, uint16_t limit) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    set_empty(q);
    q->limit = limit;
}

int queue_write(ByteQueue *q, const void *data, int length) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    return write_locked(q, static_cast<const uint8_t *>(data), length);
}

int queue_write_whole(ByteQueue *q, const void *data, int length) {
    if (length <= 0) return 0;
    std::lock_guard<std::mutex> guard(g_poolLock);
    const ByteQueue saved = *q;
    const uint64_t savedFree = g_pool.freeSet;
    const bool hadTail = saved.writePos != QUEUE_EMPTY_POS;
    int done = write_locked(q, static_cast<const uint8_t *>(data), length);
    if (done == length) return length;
    // Undo: the tail block's link was "none" before, and every block taken by
    // this write goes back to the free set.
    if (hadTail) link_of(block_of(saved.writePos)) = POOL_NO_BLOCK;
    g_pool.freeSet = savedFree;
    *q = saved;
    return 0;
}

int queue_peek(ByteQueue *q, void *buffer, int max) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    if (q->count == 0 || max <= 0) return 0;
    if (!valid_pos(q->readPos) || !valid_pos(q->writePos)) return 0;
    uint8_t *dst = static_cast<uint8_t *>(buffer);
    uint16_t pos = q->readPos;
    int done = 0;
    // Bounded by the pool's size even if the chain were corrupt.
    for (int steps = 0; done < max && pos != q->writePos && steps <= POOL_BLOCKS * POOL_BLOCK_SIZE;
         ++steps) {
        if (offset_of(pos) == POOL_BLOCK_DATA) {
            uint8_t next = link_of(block_of(pos));
            if (next >= POOL_BLOCKS) break;
            pos = (uint16_t)(next * POOL_BLOCK_SIZE);
            continue;
        }
        dst[done++] = g_pool.storage[block_of(pos)][offset_of(pos)];
        ++pos;
    }
    return done;
}

int queue_consume(ByteQueue *q, void *buffer, int max) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    if (max <= 0) return 0;
    return consume_locked(q, static_cast<uint8_t *>(buffer), max);
}

void queue_discard(ByteQueue *q, int n) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    if (n <= 0) n = q->count;
    // One byte per step, as many steps as asked or until the queue is empty.
    for (int i = 0; i < n && q->count > 0; ++i) {
        if (consume_locked(q, nullptr, 1) == 0) break;
    }
}

int queue_count(ByteQueue *q) {
    std::lock_guard<std::mutex> guard(g_poolLock);
    return q->count;
}
