#include "WorkerPool.h"

#include <algorithm>
#include <system_error>

WorkerPool& WorkerPool::Shared() {
    static WorkerPool pool(std::max(1u, std::thread::hardware_concurrency()) - 1);
    return pool;
}

WorkerPool::WorkerPool(unsigned helpers) : helperLimit(helpers) {}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    work.notify_all();
    for (std::thread& t : helpers)
        t.join();
}

void WorkerPool::startHelpers() {
    while (helpers.size() < helperLimit) {
        try {
            helpers.emplace_back([this] { help(); });
        } catch (const std::system_error&) {
            // Fewer helpers: the callers take the pieces they would have taken.
            break;
        }
    }
}

bool WorkerPool::claim(Batch*& batch, int& index) {
    while (!batches.empty()) {
        Batch* front = batches.front();
        if (front->next < front->count) {
            batch = front;
            index = front->next++;
            return true;
        }
        batches.pop_front();
    }
    return false;
}

void WorkerPool::help() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        Batch* batch = nullptr;
        int index = 0;
        work.wait(guard, [&] { return stopping || claim(batch, index); });
        if (!batch)
            return;
        guard.unlock();
        (*batch->piece)(index);
        guard.lock();
        if (++batch->finished == batch->count)
            done.notify_all();
    }
}

void WorkerPool::Run(int count, const std::function<void(int)>& piece) {
    if (count <= 0)
        return;
    Batch batch;
    batch.piece = &piece;
    batch.count = count;
    std::unique_lock<std::mutex> guard(lock);
    if (count > 1 && helperLimit > 0) {
        startHelpers();
        batches.push_back(&batch);
        work.notify_all();
    }
    // The caller takes pieces of its own batch only, so it never waits on another caller's.
    while (batch.next < batch.count) {
        int index = batch.next++;
        guard.unlock();
        piece(index);
        guard.lock();
        ++batch.finished;
    }
    done.wait(guard, [&] { return batch.finished == batch.count; });
    // Every piece is handed out, so no helper reaches the batch again; it may still be queued.
    batches.erase(std::remove(batches.begin(), batches.end(), &batch), batches.end());
}
