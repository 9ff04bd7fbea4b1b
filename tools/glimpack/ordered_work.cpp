#include "tools/glimpack/ordered_work.h"

#include <exception>
#include <utility>

namespace glimpack {

OrderedWork::OrderedWork(unsigned workers, size_t window) : window_(window < 1 ? 1 : window) {
    for (unsigned i = 0; i < workers; ++i)
        workers_.push_back(std::make_unique<hostos::Thread>([this] { Work(); }));
}

OrderedWork::~OrderedWork() {
    std::deque<std::pair<uint64_t, Job>> dropped;
    {
        hostos::MutexLock lock(mutex_);
        stop_ = true;
        dropped.swap(queue_);
        changed_.WakeAll();
    }
    workers_.clear(); // joins
}

void OrderedWork::Add(Job job) {
    if (workers_.empty()) {
        Deliver deliver = job();
        deliver();
        return;
    }
    Give(std::move(job), nullptr);
}

void OrderedWork::AddDone(Deliver deliver) {
    if (workers_.empty()) {
        deliver();
        return;
    }
    Give(nullptr, std::move(deliver));
}

void OrderedWork::Give(Job job, Deliver done) {
    uint64_t seq;
    {
        hostos::MutexLock lock(mutex_);
        seq = given_;
    }
    // Room for one more: the oldest are delivered first, however long that
    // takes.
    if (seq >= window_)
        DeliverUpTo(seq - window_ + 1, true);
    {
        hostos::MutexLock lock(mutex_);
        ++given_;
        if (job)
            queue_.emplace_back(seq, std::move(job));
        else
            done_.emplace(seq, std::move(done));
        changed_.WakeAll();
    }
    DeliverReady();
}

void OrderedWork::DeliverReady() {
    DeliverUpTo(0, false);
}

void OrderedWork::Drain() {
    uint64_t until;
    {
        hostos::MutexLock lock(mutex_);
        until = given_;
    }
    DeliverUpTo(until, true);
}

void OrderedWork::DeliverUpTo(uint64_t until, bool wait) {
    if (workers_.empty())
        return;
    for (;;) {
        Deliver deliver;
        {
            hostos::MutexLock lock(mutex_);
            if (delivering_)
                return; // called from inside a delivery: the outer loop goes on
            for (;;) {
                if (wait && delivered_ >= until)
                    return;
                auto next = done_.find(delivered_);
                if (next != done_.end()) {
                    deliver = std::move(next->second);
                    done_.erase(next);
                    ++delivered_;
                    delivering_ = true;
                    break;
                }
                if (!wait)
                    return;
                changed_.Wait(mutex_);
            }
        }
        // Outside the lock, so that workers go on meanwhile; a delivery that
        // throws ends the run, and the destructor stops the workers.
        struct Done {
            OrderedWork* work;
            ~Done() {
                hostos::MutexLock lock(work->mutex_);
                work->delivering_ = false;
            }
        } done{this};
        deliver();
    }
}

void OrderedWork::Work() {
    for (;;) {
        std::pair<uint64_t, Job> next;
        {
            hostos::MutexLock lock(mutex_);
            while (!stop_ && queue_.empty())
                changed_.Wait(mutex_);
            if (stop_)
                return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        Deliver deliver;
        try {
            deliver = next.second();
        } catch (...) {
            std::exception_ptr error = std::current_exception();
            deliver = [error] { std::rethrow_exception(error); };
        }
        next.second = nullptr; // what it captured goes now, not at the next job
        hostos::MutexLock lock(mutex_);
        done_.emplace(next.first, std::move(deliver));
        changed_.WakeAll();
    }
}

} // namespace glimpack
