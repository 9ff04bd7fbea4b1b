// GoogleTest's place for what a platform provides itself, found before
// Debian's empty one. GCC's win32 thread model (MinGW-w64 as Debian builds
// it) has no std::mutex or std::condition_variable, which GoogleTest's
// Notification is made of; it serves only GoogleTest's own tests of its
// threads, so a flag waited on in a loop does.
#ifndef GLIM_GTEST_CUSTOM_PORT_H
#define GLIM_GTEST_CUSTOM_PORT_H

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) {
        }
    }

  private:
    std::atomic<bool> notified_{false};
};

} // namespace internal
} // namespace testing

#endif
