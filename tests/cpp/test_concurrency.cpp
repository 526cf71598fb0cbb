// The two places where threads meet: the borrow flag of a host object, and the one-time build of
// the ActionTable. Run under ThreadSanitizer by scripts/sanitize.sh.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "game/actions/action_table.hpp"
#include "python/borrow_flag.hpp"

namespace krodan {
namespace {

constexpr int THREADS = 8;

template <class Body>
void race(Body&& body) {
    std::barrier start(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    for (auto& thread : threads) thread.join();
}

// Each test runs in a process of its own under CTest, so the first call here builds the table.
TEST(Concurrency, OneTableBuildForManyFirstCallers) {
    std::vector<const ActionTable*> seen(THREADS);
    race([&](int t) { seen[t] = &action_table(); });
    for (const ActionTable* table : seen) EXPECT_EQ(table, seen[0]);
    EXPECT_EQ(seen[0]->placements.size(), NUM_PLACEMENTS);
}

TEST(Concurrency, BorrowFlagNeverLetsAWriterMeetAnotherBorrow) {
    python::BorrowFlag flag;
    std::atomic<int> readers{0}, writers{0};
    std::atomic<long> shared_granted{0}, exclusive_granted{0}, refused{0};
    long data = 0;  // written only under the exclusive borrow, read under shared ones
    race([&](int t) {
        long seen = 0;
        for (int i = 0; i < 20000; ++i) {
            if ((i + t) % 4 == 0) {
                if (!flag.try_exclusive()) {
                    refused.fetch_add(1);
                    continue;
                }
                EXPECT_EQ(writers.fetch_add(1), 0);
                EXPECT_EQ(readers.load(), 0);
                ++data;
                writers.fetch_sub(1);
                flag.release_exclusive();
                exclusive_granted.fetch_add(1);
            } else {
                if (!flag.try_share()) {
                    refused.fetch_add(1);
                    continue;
                }
                readers.fetch_add(1);
                EXPECT_EQ(writers.load(), 0);
                seen += data;
                readers.fetch_sub(1);
                flag.release_shared();
                shared_granted.fetch_add(1);
            }
        }
        (void)seen;
    });
    EXPECT_EQ(data, exclusive_granted.load());
    EXPECT_GT(shared_granted.load(), 0);
    EXPECT_GT(exclusive_granted.load(), 0);
    // The flag is free again: both kinds are granted.
    EXPECT_TRUE(flag.try_exclusive());
    flag.release_exclusive();
    EXPECT_TRUE(flag.try_share());
    EXPECT_TRUE(flag.try_share());
    EXPECT_FALSE(flag.try_exclusive());
}

}  // namespace
}  // namespace krodan
