// Jobs run side by side on worker threads, their results handed back on the
// thread that gave them, strictly in the order they were given: what a run
// prints is the same whatever the number of workers.
//
// At most `window` jobs are given and not yet delivered at any time; giving
// one more waits (delivering what is ready meanwhile). That bounds what the
// jobs hold (a scratch copy each, in the scan) whatever the size of the run.
#ifndef GLIM_TOOLS_GLIMPACK_ORDERED_WORK_H
#define GLIM_TOOLS_GLIMPACK_ORDERED_WORK_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "hostos/threads.h"

namespace glimpack {

class OrderedWork {
  public:
    // What a job's result does on the giving thread, in its turn.
    using Deliver = std::function<void()>;
    // Runs on a worker; what it throws is thrown again by its delivery.
    using Job = std::function<Deliver()>;

    // With 0 workers each job runs and is delivered at once, on the calling
    // thread, as if there were no OrderedWork at all.
    OrderedWork(unsigned workers, size_t window);
    // Jobs not yet run are dropped (and their captures destroyed); those
    // running are waited for.
    ~OrderedWork();
    OrderedWork(const OrderedWork&) = delete;
    OrderedWork& operator=(const OrderedWork&) = delete;

    void Add(Job job);
    // A result with nothing to run (something the giving thread found
    // itself), delivered in its turn.
    void AddDone(Deliver deliver);
    // Delivers what is ready in order, without waiting.
    void DeliverReady();
    // Waits for every job given so far and delivers it.
    void Drain();

  private:
    void Give(Job job, Deliver done);
    // Delivers in order; with `until` waits until that many are delivered.
    void DeliverUpTo(uint64_t until, bool wait);
    void Work();

    size_t window_;
    hostos::Mutex mutex_;
    hostos::Condition changed_;
    std::deque<std::pair<uint64_t, Job>> queue_; // given, not yet taken by a worker
    std::map<uint64_t, Deliver> done_;           // run, not yet delivered
    uint64_t given_ = 0;                         // sequence number of the next job
    uint64_t delivered_ = 0;                     // ... of the next one to deliver
    bool delivering_ = false;                    // a delivery runs (outside the lock)
    bool stop_ = false;
    std::vector<std::unique_ptr<hostos::Thread>> workers_;
};

} // namespace glimpack

#endif
