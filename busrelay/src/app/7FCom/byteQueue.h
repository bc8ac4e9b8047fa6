// Byte FIFOs drawn from one fixed pool of 64 blocks of 64 bytes (63 data
// bytes and a link byte each), so the transports never allocate for traffic.
// 64 blocks hold what the Modbus server may owe both clients at once (see
// MB_TCP_QUEUE_LIMIT) besides the serial link's two queues.
//
// Serialization: the pool's free set and every queue are guarded by one
// pool-wide mutex, taken inside each operation below. The main thread's poll
// and the gateway link's receive thread (which queues replies) may therefore
// call them concurrently. The pool lock nests inside the Modbus context lock
// and the pending-table lock and outside the logger's lock; nothing is called
// back while it is held.
#pragma once

#include <cstdint>

constexpr int POOL_BLOCKS = 64;  // at most 64: the free set is one 64-bit word
constexpr int POOL_BLOCK_SIZE = 64;
constexpr int POOL_BLOCK_DATA = 63;
constexpr uint8_t POOL_NO_BLOCK = 255;
constexpr uint16_t QUEUE_EMPTY_POS = POOL_NO_BLOCK * POOL_BLOCK_SIZE;  // 16320

struct BlockPool {
    uint8_t storage[POOL_BLOCKS][POOL_BLOCK_SIZE];
    uint64_t freeSet;  // bit i set: block i is free
};

struct ByteQueue {
    uint16_t writePos;
    uint16_t readPos;
    uint16_t count;
    uint16_t limit;
};

void pool_reset();
int pool_free_blocks();

void queue_init(ByteQueue *q, uint16_t limit);
int queue_write(ByteQueue *q, const void *data, int length);
// All or nothing: the queue and the pool are left untouched unless every
// byte was taken. Returns length or 0.
int queue_write_whole(ByteQueue *q, const void *data, int length);
int queue_peek(ByteQueue *q, void *buffer, int max);
int queue_consume(ByteQueue *q, void *buffer, int max);
void queue_discard(ByteQueue *q, int n);
int queue_count(ByteQueue *q);
