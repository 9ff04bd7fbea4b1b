#include "encoder/match_finder.h"

#include <algorithm>

namespace encoder {

MatchFinder::MatchFinder(const uint8_t* text, size_t size, uint32_t max_depth)
    : text_(text), size_(size), max_depth_(max_depth ? max_depth : UINT32_MAX), head_(65536, -1),
      tree_(2 * kSlots, -1) {}

int MatchFinder::Find(size_t pos, Candidate* out) {
    size_t room = size_ - pos;
    if (room < static_cast<size_t>(kMinMatch)) {
        // Too close to the end to start a match; no later position can use it
        // as a source either, because its match would be shorter still.
        return 0;
    }
    const int limit = static_cast<int>(std::min(room, static_cast<size_t>(kMaxMatch)));
    const uint8_t* cur = text_ + pos;
    const int32_t here = static_cast<int32_t>(pos);

    const unsigned key = (static_cast<unsigned>(cur[0]) << 8) | cur[1];
    int32_t node = head_[key];
    head_[key] = here;

    // The walk splits the old tree around the new string: nodes smaller than
    // it hang on `smaller`, larger ones on `larger`, and the new position
    // becomes the root.
    int32_t* smaller = &tree_[2 * (pos % kSlots)];
    int32_t* larger = smaller + 1;
    int len_smaller = 2; // every string of this tree shares the two-byte key
    int len_larger = 2;
    int best = kMinMatch - 1;
    int found = 0;
    uint32_t depth = max_depth_;

    for (;;) {
        if (node < 0 || here - node > kWindow || depth-- == 0) {
            *smaller = -1;
            *larger = -1;
            break;
        }
        int32_t* pair = &tree_[2 * (static_cast<uint32_t>(node) % kSlots)];
        const uint8_t* old = text_ + node;
        int len = std::min(len_smaller, len_larger);
        while (len < limit && old[len] == cur[len])
            ++len;
        if (len > best) {
            best = len;
            out[found].length = static_cast<uint16_t>(len);
            out[found].distance = static_cast<uint16_t>(here - node - 1);
            ++found;
            if (len == limit) {
                // Equal as far as any match may go: the new position takes the
                // old one's place and its subtrees.
                *smaller = pair[0];
                *larger = pair[1];
                break;
            }
        }
        if (old[len] < cur[len]) {
            *smaller = node;
            smaller = &pair[1];
            node = *smaller;
            len_smaller = len;
        } else {
            *larger = node;
            larger = &pair[0];
            node = *larger;
            len_larger = len;
        }
    }
    return found;
}

} // namespace encoder
