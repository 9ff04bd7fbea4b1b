// Match finder for the encoder: a binary tree over the strings of the last
// 4096 positions, rooted per two-byte prefix and re-rooted at every new
// position, so that a walk down the tree meets positions from the newest to
// the oldest. That order is what lets one walk report, for every match length,
// the nearest position that reaches it.
#ifndef GLIM_ENCODER_MATCH_FINDER_H
#define GLIM_ENCODER_MATCH_FINDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/code_tree.h"

namespace encoder {

constexpr int kMinMatch = CODE_THRESHOLD + 1;             // 3
constexpr int kMaxMatch = CODE_LONGEST_MATCH;             // 30
constexpr int kMaxCandidates = kMaxMatch - kMinMatch + 1; // lengths strictly increase
constexpr int kWindow = CODE_RING_SIZE;                   // farthest source: 4096 bytes back

struct Candidate {
    uint16_t length;   // 3..30
    uint16_t distance; // the stream's distance code: source = position - distance - 1
};

// The part of a text a finder can read: the bytes of positions [base, end) at
// `bytes`. The encoder slides this over its input; `end` is the text's end
// or at least kMaxMatch past every position passed to Find.
struct TextView {
    const uint8_t* bytes = nullptr;
    size_t base = 0;
    size_t end = 0;
    const uint8_t* At(size_t pos) const { return bytes + (pos - base); }
};

class MatchFinder {
  public:
    // `max_depth` bounds the nodes visited per position (0: no bound, the
    // complete search).
    explicit MatchFinder(uint32_t max_depth);
    // Over the whole of a text of `size` bytes, which must outlive the finder.
    MatchFinder(const uint8_t* text, size_t size, uint32_t max_depth);

    // What Find reads from now on: it must hold the kWindow positions before
    // the one passed to Find and the kMaxMatch from it on (or up to the end).
    void SetText(const TextView& text) { text_ = text; }

    // Inserts position `pos` and reports its matches into `out` (room for
    // kMaxCandidates), with strictly increasing lengths, each at the nearest
    // distance that reaches it. Matches never run past the end of the text.
    // Every position must be passed once, in increasing order.
    int Find(size_t pos, Candidate* out);

  private:
    static constexpr uint32_t kSlots = 2 * kWindow; // > kWindow: a source 4096 back keeps its slot
    TextView text_;
    uint32_t max_depth_;
    std::vector<int32_t> head_; // newest position per two-byte prefix, or -1
    std::vector<int32_t> tree_; // per slot: smaller subtree, larger subtree
};

// The cheaper finder of Default mode: hash chains over four-byte strings, of
// which at most `max_depth` links are walked per position, and beside them
// the newest position of every three-byte hash. The newest position whose
// three bytes agree is the nearest source of a three-byte match; a chain of
// four-byte strings wastes fewer links on sources that go no further. Same
// contract as MatchFinder::Find, except that for lengths over 3 "nearest" is
// among the visited sources, so a source beyond the walk may be missed.
class ChainMatchFinder {
  public:
    explicit ChainMatchFinder(uint32_t max_depth);
    ChainMatchFinder(const uint8_t* text, size_t size, uint32_t max_depth);
    void SetText(const TextView& text) { text_ = text; }
    int Find(size_t pos, Candidate* out);

  private:
    static constexpr int kHashBits = 15;
    static constexpr int kHash3Bits = 16;
    static constexpr uint32_t kChainMask = 2 * kWindow - 1;
    TextView text_;
    uint32_t max_depth_;
    std::vector<int32_t> head3_;     // newest position per three-byte hash, or -1
    std::vector<int32_t> head_;      // newest position per four-byte hash, or -1
    std::vector<int32_t> prev_;      // per position (mod 8192): the next older one in its chain
    std::vector<int32_t> run_start_; // per position (mod 8192): first position of its run
    int32_t last_run_ = -2;          // newest position that starts four equal bytes
};

} // namespace encoder

#endif
