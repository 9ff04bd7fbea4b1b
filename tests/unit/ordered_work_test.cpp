// The scan's jobs side by side: results come back in the order given, never
// more in hand than the window, failures in their turn, and nothing run twice
// or lost. No step waits on the clock: a job that must finish late waits for
// a later one to have run.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostos/threads.h"
#include "tools/glimpack/ordered_work.h"

namespace {

using glimpack::OrderedWork;

// A latch: Wait returns once Open has been called.
class Gate {
  public:
    void Open() {
        hostos::MutexLock lock(mutex_);
        open_ = true;
        changed_.WakeAll();
    }
    void Wait() {
        hostos::MutexLock lock(mutex_);
        while (!open_)
            changed_.Wait(mutex_);
    }

  private:
    hostos::Mutex mutex_;
    hostos::Condition changed_;
    bool open_ = false;
};

TEST(OrderedWork, DeliversInTheOrderGivenWhateverOrderTheJobsEnd) {
    for (unsigned workers : {0u, 1u, 4u}) {
        std::vector<int> delivered;
        Gate late_ran;
        size_t in_hand = 0, most_in_hand = 0;
        {
            OrderedWork work(workers, 8);
            for (int i = 0; i < 40; ++i) {
                ++in_hand;
                most_in_hand = std::max(most_in_hand, in_hand);
                OrderedWork::Job job = [&, i]() -> OrderedWork::Deliver {
                    // With 4 workers job 0 ends only after job 3 has run.
                    if (workers == 4 && i == 0)
                        late_ran.Wait();
                    if (workers == 4 && i == 3)
                        late_ran.Open();
                    return [&, i] {
                        delivered.push_back(i);
                        --in_hand;
                    };
                };
                if (i % 5 == 4) { // found by the giving thread itself
                    work.AddDone([&, i] {
                        delivered.push_back(i);
                        --in_hand;
                    });
                } else {
                    work.Add(job);
                }
                if (workers == 0) {
                    EXPECT_EQ(in_hand, 0u) << "without workers each is delivered at once";
                }
            }
            work.Drain();
            EXPECT_EQ(in_hand, 0u);
        }
        std::vector<int> expected(40);
        for (int i = 0; i < 40; ++i)
            expected[size_t(i)] = i;
        EXPECT_EQ(delivered, expected) << workers << " workers";
        EXPECT_LE(most_in_hand, 8u + 1) << "the window bounds what is in hand";
    }
}

TEST(OrderedWork, AFailedJobThrowsInItsTurnAndTheRestFollow) {
    std::vector<int> delivered;
    auto held = std::make_shared<int>(0);
    {
        OrderedWork work(2, 4);
        auto give = [&](int i) {
            work.Add([&, i, held]() -> OrderedWork::Deliver {
                return [&, i] { delivered.push_back(i); };
            });
        };
        // Thrown where this thread next delivers: giving or draining.
        try {
            for (int i = 0; i < 5; ++i)
                give(i);
            work.Add([]() -> OrderedWork::Deliver { throw std::runtime_error("job 5 failed"); });
            work.Drain();
            FAIL() << "the failure was not thrown";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "job 5 failed");
        }
        EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2, 3, 4}));
        give(6);
        work.Drain();
        EXPECT_EQ(delivered, (std::vector<int>{0, 1, 2, 3, 4, 6}));
        // What the jobs held is let go once they have run.
        EXPECT_EQ(held.use_count(), 1);
    }
}

} // namespace
