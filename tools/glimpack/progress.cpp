#include "tools/glimpack/progress.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "hostos/os.h"

namespace glimpack {
namespace {

std::string Duration(double seconds) {
    long s = seconds < 0 ? 0 : std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

bool ProgressPossible() {
    if (hostos::Environment("TERM") == "dumb")
        return false;
    return hostos::IsTerminal(2);
}

namespace {

// Seconds of work before the line shows: one, or $GLIMPACK_PROGRESS_DELAY.
double ProgressDelay() {
    std::string text = hostos::Environment("GLIMPACK_PROGRESS_DELAY");
    if (text.empty())
        return 1.0;
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    return *end == '\0' && seconds >= 0 ? seconds : 1.0;
}

} // namespace

Progress::Progress(uint64_t total, bool quiet)
    : enabled_(!quiet && total > 0 && ProgressPossible()), total_(total),
      delay_(enabled_ ? ProgressDelay() : 0), start_(hostos::MonotonicSeconds()), last_(start_) {}

Progress::Progress(bool quiet)
    : enabled_(!quiet && ProgressPossible()), total_(0), delay_(enabled_ ? ProgressDelay() : 0),
      start_(hostos::MonotonicSeconds()), last_(start_) {}

Progress::~Progress() {
    Clear();
}

void Progress::Clear() {
    if (drawn_ != 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawn_), "");
        std::fflush(stderr);
        drawn_ = 0;
    }
}

void Progress::Show(const std::string& text) {
    if (!enabled_)
        return;
    double now = hostos::MonotonicSeconds();
    if (now - start_ < delay_ || (drawn_ != 0 && now - last_ < 0.2))
        return;
    last_ = now;
    Draw(text);
}

void Progress::Add(uint64_t bytes, const std::string& label) {
    done_ += bytes;
    if (!enabled_ || total_ == 0)
        return;
    double now = hostos::MonotonicSeconds();
    double elapsed = now - start_;
    if (elapsed < delay_ || (drawn_ != 0 && now - last_ < 0.2))
        return;
    last_ = now;
    uint64_t done = done_ < total_ ? done_ : total_;
    int percent = static_cast<int>(done * 100 / total_);
    std::string text = std::to_string(percent) + "%  " + label;
    if (done > 0)
        text += "  " + Duration(elapsed * double(total_ - done) / double(done)) + " left";
    Draw(text);
}

void Progress::Draw(const std::string& text) {
    // A long label is cut from the front: the end of a path says the most.
    std::string shown = text.size() > 78 ? "..." + text.substr(text.size() - 75) : text;
    size_t pad = drawn_ > shown.size() ? drawn_ - shown.size() : 0;
    std::fprintf(stderr, "\r%s%*s", shown.c_str(), static_cast<int>(pad), "");
    std::fflush(stderr);
    drawn_ = shown.size();
}

} // namespace glimpack
