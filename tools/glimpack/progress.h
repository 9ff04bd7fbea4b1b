// A progress line on standard error for work that may take more than a
// second: percent done, what is being worked on, and the time left. Shown
// only on a terminal (not in a pipe or a log, nor with TERM=dumb), only once
// the work has taken a second ($GLIMPACK_PROGRESS_DELAY seconds when set),
// redrawn a few times a second with a carriage
// return alone (no escape sequences, so every console shows it), and wiped
// when the work ends. No colour is ever used.
#ifndef GLIM_TOOLS_GLIMPACK_PROGRESS_H
#define GLIM_TOOLS_GLIMPACK_PROGRESS_H

#include <cstdint>
#include <string>

namespace glimpack {

class Progress {
  public:
    // `total` bytes of work; `quiet` (or nothing to show) keeps it silent.
    Progress(uint64_t total, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Add(uint64_t bytes, const std::string& label);

    // Work of a size not known in advance (a scan): the line says what has
    // been done so far, in the caller's words, without a percentage.
    explicit Progress(bool quiet);
    void Show(const std::string& text);
    // Wipes the line before other output; the next Show or Add draws it again.
    void Clear();

  private:
    void Draw(const std::string& text);

    bool enabled_;
    uint64_t total_;
    double delay_; // seconds of work before the line shows
    uint64_t done_ = 0;
    size_t drawn_ = 0; // characters of the line now on screen
    double start_;     // hostos::MonotonicSeconds() when the work began
    double last_;      // ... and when the line was last drawn
};

// Whether progress lines can be shown on standard error at all.
bool ProgressPossible();

} // namespace glimpack

#endif
