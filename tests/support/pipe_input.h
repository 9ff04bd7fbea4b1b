// An input that has no size and cannot be read twice, for the tests of
// streaming inputs. POSIX only (a pipe named by /dev/fd), so apart from the
// tool fixture, which the Windows build of the tests shares.
#ifndef GLIM_TESTS_SUPPORT_PIPE_INPUT_H
#define GLIM_TESTS_SUPPORT_PIPE_INPUT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tool_fixture {

// An input that has no size and cannot be read twice: the read end of a
// pipe, named by /dev/fd, that a thread fills with `bytes`.
class PipeInput {
  public:
    explicit PipeInput(std::vector<uint8_t> bytes) {
        std::signal(SIGPIPE, SIG_IGN); // a reader that gives up is not a crash
        int fds[2] = {-1, -1};
        EXPECT_EQ(::pipe(fds), 0);
        read_ = fds[0];
        writer_ = std::thread([fd = fds[1], bytes = std::move(bytes)] {
            for (size_t at = 0; at < bytes.size();) {
                ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
                if (n <= 0)
                    break;
                at += static_cast<size_t>(n);
            }
            ::close(fd);
        });
    }
    // Closing the read end ends a write that no one reads.
    ~PipeInput() {
        ::close(read_);
        writer_.join();
    }
    PipeInput(const PipeInput&) = delete;
    PipeInput& operator=(const PipeInput&) = delete;
    std::string path() const { return "/dev/fd/" + std::to_string(read_); }

  private:
    int read_ = -1;
    std::thread writer_;
};

} // namespace tool_fixture

#endif
