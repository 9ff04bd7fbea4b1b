// One line of progress on a terminal, redrawn in place with a carriage
// return. Where the terminal carries out escape sequences, one clears the
// rest of the old line; elsewhere (Windows' own console shows them as text)
// the old line is overwritten with blanks.
#ifndef GLIM_TOOLS_GLIMPACK_STATUS_LINE_H
#define GLIM_TOOLS_GLIMPACK_STATUS_LINE_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace glimpack {

class StatusLine {
  public:
    StatusLine(std::FILE* out, bool escapes) : out_(out), escapes_(escapes) {}
    ~StatusLine() { Clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void Show(const std::string& text);
    // Leaves the line empty, the cursor at its start (nothing when nothing
    // was shown).
    void Clear();

    // What Show and Clear write after a line `previous_width` characters
    // wide.
    static std::string Redraw(const std::string& text, size_t previous_width, bool escapes);
    static std::string Erase(size_t previous_width, bool escapes);
    // Characters, not bytes: the text is UTF-8.
    static size_t Width(const std::string& text);

  private:
    std::FILE* out_;
    bool escapes_;
    bool shown_ = false;
    size_t width_ = 0;
};

} // namespace glimpack

#endif
