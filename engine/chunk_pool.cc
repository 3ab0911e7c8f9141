// The worker threads of the chunk pool, how many slots a run gets, and the
// hand-over of slots between the workers and the main thread.
#include "engine/chunk_pool.h"

#include <csignal>
#include <cstring>
#include <new>

#include "engine/engine_util.h"

namespace engine {

namespace {
constexpr uint64_t memory_budget = 64ull << 20;
}

uint32_t slot_count_for(uint32_t threads, uint64_t chunk_size, uint64_t out_size) {
    uint64_t per_slot = chunk_size + out_size;
    uint64_t fit = per_slot == 0 ? 2 : memory_budget / per_slot;
    uint64_t want = static_cast<uint64_t>(threads) * 2;
    if (want > fit) want = fit;
    if (want < 2) want = 2;
    return static_cast<uint32_t>(want);
}

chunk_pool::~chunk_pool() { stop(); }

int chunk_pool::start(uint32_t threads, uint32_t max_queued, chunk_work fn, const void *ctx, char *msg,
                      size_t msg_size) {
    fn_ = fn;
    ctx_ = ctx;
    queue_.reset(new (std::nothrow) chunk_slot *[max_queued]);
    threads_.reset(new (std::nothrow) pthread_t[threads]);
    if (!queue_ || !threads_) {
        put_text(msg, msg_size, "out of memory");
        return -1;
    }
    queue_cap_ = max_queued;

    // Threads inherit the creating thread's mask: block everything while
    // creating them, so that SIGTERM and friends are handled by the main thread.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = 0;
    for (uint32_t i = 0; i < threads; ++i) {
        err = pthread_create(&threads_[i], nullptr, &chunk_pool::worker_main, this);
        if (err != 0) break;
        ++thread_count_;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        put_text(msg, msg_size, "cannot start worker thread: %s", strerror(err));
        stop();
        return -1;
    }
    return 0;
}

void chunk_pool::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_cv_.notify_all();
    for (uint32_t i = 0; i < thread_count_; ++i) pthread_join(threads_[i], nullptr);
    thread_count_ = 0;
}

void *chunk_pool::worker_main(void *self) {
    static_cast<chunk_pool *>(self)->worker_loop();
    return nullptr;
}

void chunk_pool::worker_loop() {
    for (;;) {
        chunk_slot *slot = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_cv_.wait(lock, [this] { return stopping_ || queue_len_ > 0; });
            if (queue_len_ == 0) return;  // stopping and nothing left
            slot = queue_[queue_head_];
            queue_head_ = (queue_head_ + 1) % queue_cap_;
            --queue_len_;
        }
        fn_(slot, ctx_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot->state = 2;
        }
        done_cv_.notify_all();
    }
}

void chunk_pool::submit(chunk_slot *slot) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The caller never has more slots than the queue holds.
        slot->state = 1;
        queue_[(queue_head_ + queue_len_) % queue_cap_] = slot;
        ++queue_len_;
    }
    work_cv_.notify_one();
}

void chunk_pool::wait(chunk_slot *slot) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_cv_.wait(lock, [slot] { return slot->state == 2; });
    slot->state = 0;
}

}  // namespace engine
