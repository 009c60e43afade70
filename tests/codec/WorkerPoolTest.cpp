#include "WorkerPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

// Callers on several threads share one pool: every piece of every call runs exactly once,
// the calls return only when their pieces are done, and no more threads than the pool's
// helpers and the callers themselves ever work at once.
TEST(WorkerPool, ConcurrentCallersShareTheHelpers) {
    WorkerPool pool(2);
    constexpr int Callers = 4, Pieces = 50;
    std::vector<std::vector<std::atomic<int>>> runs(Callers);
    for (auto& r : runs)
        r = std::vector<std::atomic<int>>(Pieces);
    std::atomic<int> busy{0}, mostBusy{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < Callers; ++c) {
        callers.emplace_back([&, c] {
            pool.Run(Pieces, [&](int i) {
                int now = ++busy;
                for (int seen = mostBusy; now > seen && !mostBusy.compare_exchange_weak(seen, now);)
                    ;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                ++runs[c][i];
                --busy;
            });
            for (int i = 0; i < Pieces; ++i)
                EXPECT_EQ(runs[c][i].load(), 1) << c << " " << i;
        });
    }
    for (std::thread& t : callers)
        t.join();
    EXPECT_LE(mostBusy.load(), Callers + 2);
    EXPECT_EQ(pool.Helpers(), 2u);
}

// Without helpers, or for a single piece, the caller does the work itself.
TEST(WorkerPool, CallerAloneRunsEveryPiece) {
    WorkerPool pool(0);
    std::set<std::thread::id> threads;
    int count = 0;
    pool.Run(5, [&](int) {
        threads.insert(std::this_thread::get_id());
        ++count;
    });
    pool.Run(0, [&](int) { ++count; });
    EXPECT_EQ(count, 5);
    EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_LE(WorkerPool::Shared().Helpers() + 1,
              std::max(1u, std::thread::hardware_concurrency()));
}
