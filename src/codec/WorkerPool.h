#pragma once
// The process's one set of helper threads for work that splits into independent pieces, such
// as the frames of a compression. However many jobs compress at once, at most as many helpers
// as the machine has cores, less one, exist; each caller works on its own pieces too, so a
// call always progresses even while the helpers are busy with another caller's pieces.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
public:
    // The pool of the process; its helpers start on first use.
    static WorkerPool& Shared();

    explicit WorkerPool(unsigned helpers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Calls piece(0) to piece(count - 1), each once, on the helpers and on the calling thread,
    // and returns when all have returned. piece must not throw.
    void Run(int count, const std::function<void(int)>& piece);

    unsigned Helpers() const { return helperLimit; }

private:
    struct Batch {
        const std::function<void(int)>* piece = nullptr;
        int count = 0;
        int next = 0;     // the next piece to hand out
        int finished = 0; // pieces that have returned
    };

    void startHelpers();
    void help();
    // The next piece of the oldest batch with pieces left, under the lock; false when none.
    bool claim(Batch*& batch, int& index);

    const unsigned helperLimit;
    std::mutex lock;
    std::condition_variable work;
    std::condition_variable done;
    std::deque<Batch*> batches;
    std::vector<std::thread> helpers;
    bool stopping = false;
};
