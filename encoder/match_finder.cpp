#include "encoder/match_finder.h"

#include <algorithm>

namespace encoder {

MatchFinder::MatchFinder(uint32_t max_depth)
    : max_depth_(max_depth ? max_depth : UINT32_MAX), head_(65536, -1), tree_(2 * kSlots, -1) {}

MatchFinder::MatchFinder(const uint8_t* text, size_t size, uint32_t max_depth)
    : MatchFinder(max_depth) {
    SetText(TextView{text, 0, size});
}

int MatchFinder::Find(size_t pos, Candidate* out) {
    size_t room = text_.end - pos;
    if (room < static_cast<size_t>(kMinMatch)) {
        // Too close to the end to start a match; no later position can use it
        // as a source either, because its match would be shorter still.
        return 0;
    }
    const int limit = static_cast<int>(std::min(room, static_cast<size_t>(kMaxMatch)));
    const uint8_t* cur = text_.At(pos);
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
        const uint8_t* old = cur - (here - node);
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

ChainMatchFinder::ChainMatchFinder(uint32_t max_depth)
    : max_depth_(max_depth ? max_depth : 1), head3_(size_t(1) << kHash3Bits, -1),
      head_(size_t(1) << kHashBits, -1), prev_(kChainMask + 1, -1), run_start_(kChainMask + 1, 0) {}

ChainMatchFinder::ChainMatchFinder(const uint8_t* text, size_t size, uint32_t max_depth)
    : ChainMatchFinder(max_depth) {
    SetText(TextView{text, 0, size});
}

int ChainMatchFinder::Find(size_t pos, Candidate* out) {
    size_t room = text_.end - pos;
    if (room < static_cast<size_t>(kMinMatch))
        return 0; // as in MatchFinder: no match starts here, none copies from here
    const uint8_t* cur = text_.At(pos);
    const int32_t here = static_cast<int32_t>(pos);
    const int limit = static_cast<int>(std::min(room, static_cast<size_t>(kMaxMatch)));
    const uint32_t v3 = (uint32_t(cur[0]) << 16) | (uint32_t(cur[1]) << 8) | cur[2];
    const uint32_t h3 = (v3 * 2654435761u) >> (32 - kHash3Bits);
    // The last three positions have no fourth byte: they hash as if it were 0.
    const uint32_t v4 = (v3 << 8) | (room > 3 ? cur[3] : 0);
    const uint32_t h = (v4 * 2654435761u) >> (32 - kHashBits);

    int best = kMinMatch - 1;
    int found = 0;
    // Sources are read back from the current position, within the window.
    auto consider = [&](int32_t node) {
        const uint8_t* old = cur - (here - node);
        if (old[best] != cur[best] || old[0] != cur[0] || old[1] != cur[1])
            return false;
        int len = 2;
        while (len < limit && old[len] == cur[len])
            ++len;
        if (len <= best)
            return false;
        best = len;
        out[found].length = static_cast<uint16_t>(len);
        out[found].distance = static_cast<uint16_t>(here - node - 1);
        ++found;
        return len == limit;
    };

    // A run of one byte (four or more alike) fills its chain with one entry
    // per position, which would use up the walk long before it reaches an
    // older run that may go further. Every entry keeps the first position of
    // its run, so the walk looks at a run as a whole: the position where the
    // rest of the run is exactly as long as ours (or, in a shorter run, its
    // first position) is the only one that can do better than the nearest,
    // and then the walk goes on before the run.
    const bool run = room > 3 && cur[0] == cur[1] && cur[1] == cur[2] && cur[2] == cur[3];
    const uint32_t slot = static_cast<uint32_t>(here) & kChainMask;
    int run_here = 0;
    if (run) {
        while (run_here < limit && cur[run_here] == cur[0])
            ++run_here;
        // Two overlapping runs of four are runs of the same byte.
        const bool continues = last_run_ == here - 1;
        run_start_[slot] = continues ? run_start_[(slot - 1) & kChainMask] : here;
        last_run_ = here;
    } else {
        run_start_[slot] = here;
    }

    bool done = false;
    const int32_t near3 = head3_[h3];
    head3_[h3] = here;
    if (near3 >= 0 && here - near3 <= kWindow)
        done = consider(near3);
    int32_t node = head_[h];
    // Chains only grow older, and a link is rewritten only when its slot's
    // position is more than a window behind, so every link read here is
    // current. Every source on the chain is at least as far as near3.
    for (uint32_t depth = max_depth_; !done && node >= 0 && here - node <= kWindow && depth > 0;
         --depth) {
        done = consider(node);
        const uint32_t at = static_cast<uint32_t>(node) & kChainMask;
        const int32_t first = run_start_[at];
        const uint8_t* old = cur - (here - node);
        if (!done && run && first < node && old[0] == cur[0]) {
            int run_there = 0;
            while (run_there < run_here && old[run_there] == cur[0])
                ++run_there;
            // A shorter run gives most from its first position (or the first
            // one in reach).
            const int32_t exact =
                std::max(std::max(first, here - kWindow), node - (run_here - run_there));
            if (exact < node)
                done = consider(exact);
            if (here - first > kWindow)
                break; // the rest of the chain is out of reach
            node = prev_[static_cast<uint32_t>(first) & kChainMask];
            continue;
        }
        node = prev_[at];
    }
    prev_[slot] = head_[h];
    head_[h] = here;
    return found;
}

} // namespace encoder
