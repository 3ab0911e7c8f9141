// A fixed set of chunk slots and a pool of worker threads that transform
// them (hash and compress on backup, decompress and check on restore) while
// the main thread reads and writes the slots in block order. The number of
// slots bounds the memory in flight.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pthread.h>

#include "engine/run_format.h"

namespace engine {

struct chunk_slot {
    std::unique_ptr<uint8_t[]> in;   // raw chunk (backup) or stored bytes (restore)
    uint64_t in_len = 0;
    std::unique_ptr<uint8_t[]> out;  // stored bytes (backup) or raw chunk (restore)
    uint64_t out_len = 0;
    index_entry entry{};             // block, codec, digest, lengths
    bool hole = false;               // the chunk is all zero
    bool zero_needed = false;        // restore: the target does not read as zeros there
    int32_t status = 0;              // restore: 0, or -1 with msg
    char msg[256] = {};
    uint32_t state = 0;              // guarded by the pool: 0 free, 1 queued, 2 done
};

using chunk_work = void (*)(chunk_slot *slot, const void *ctx);

class chunk_pool {
public:
    chunk_pool() = default;
    chunk_pool(const chunk_pool &) = delete;
    chunk_pool &operator=(const chunk_pool &) = delete;
    ~chunk_pool();

    // Starts threads workers that run fn(slot, ctx) on every submitted slot.
    // Workers block every signal so that handlers run on the main thread.
    // Queue capacity is max_queued slots. Returns 0, or -1 with msg.
    [[nodiscard]] int start(uint32_t threads, uint32_t max_queued, chunk_work fn, const void *ctx, char *msg,
                            size_t msg_size);

    void submit(chunk_slot *slot);
    void wait(chunk_slot *slot);

private:
    static void *worker_main(void *self);
    void worker_loop();
    void stop();

    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::unique_ptr<chunk_slot *[]> queue_;
    uint32_t queue_cap_ = 0;
    uint32_t queue_head_ = 0;
    uint32_t queue_len_ = 0;
    bool stopping_ = false;
    std::unique_ptr<pthread_t[]> threads_;
    uint32_t thread_count_ = 0;
    chunk_work fn_ = nullptr;
    const void *ctx_ = nullptr;
};

// Number of slots for chunks of chunk_size with threads workers: twice the
// workers, within a budget of about 64 MiB for both buffers of all slots,
// and at least 2.
uint32_t slot_count_for(uint32_t threads, uint64_t chunk_size, uint64_t out_size);

}  // namespace engine
