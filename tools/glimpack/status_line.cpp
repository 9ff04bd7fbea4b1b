#include "tools/glimpack/status_line.h"

namespace glimpack {

size_t StatusLine::Width(const std::string& text) {
    size_t width = 0;
    for (char c : text)
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

std::string StatusLine::Redraw(const std::string& text, size_t previous_width, bool escapes) {
    if (escapes)
        return "\r\033[K" + text;
    size_t width = Width(text);
    return "\r" + text + std::string(previous_width > width ? previous_width - width : 0, ' ');
}

std::string StatusLine::Erase(size_t previous_width, bool escapes) {
    if (escapes)
        return "\r\033[K";
    return "\r" + std::string(previous_width, ' ') + "\r";
}

void StatusLine::Show(const std::string& text) {
    std::fputs(Redraw(text, width_, escapes_).c_str(), out_);
    std::fflush(out_);
    width_ = Width(text);
    shown_ = true;
}

void StatusLine::Clear() {
    if (!shown_)
        return;
    std::fputs(Erase(width_, escapes_).c_str(), out_);
    std::fflush(out_);
    shown_ = false;
    width_ = 0;
}

} // namespace glimpack
