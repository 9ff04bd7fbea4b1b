// The reference decoder: the compressed-stream format of the README written
// out as code, one function per step of its description, each quoting the
// rule it implements, so that every line can be checked by eye against the
// text. It is the oracle the unit tests, the benchmark and the fuzz targets
// hold the production decoder to, and it shares no code with decoder/: plain
// arrays in position order, one bit at a time, a real 4096-byte ring.
// Nothing here is tuned for speed.
#ifndef GLIM_TESTKIT_REFERENCE_ORACLE_DECODER_H
#define GLIM_TESTKIT_REFERENCE_ORACLE_DECODER_H

#include <array>
#include <cstdint>
#include <vector>

namespace oracle {

constexpr int kSymbols = 284;                // 256 literals, 28 match lengths
constexpr int kPositions = 2 * kSymbols - 1; // 567 nodes
constexpr int kRoot = kPositions - 1;        // the root is the last position
constexpr uint32_t kRebuildAt = 0x8000;

// The adaptive code: a tree of 567 nodes kept in sibling order, that is with
// counts that never fall from one position to the next, the two children of
// an inner node side by side.
class AdaptiveTree {
  public:
    struct Node {
        uint32_t count = 0;
        bool leaf = false;
        int value = 0; // symbol of a leaf, position of the first child otherwise
    };

    AdaptiveTree();

    // Counts one symbol (rebuilding first when the root count is at the limit).
    void Count(int symbol);
    void Rebuild();

    // The bits from the root down to the symbol's leaf.
    std::vector<int> CodeOf(int symbol) const;
    int Depth(int symbol) const { return static_cast<int>(CodeOf(symbol).size()); }

    const std::array<Node, kPositions>& nodes() const { return nodes_; }
    int PositionOf(int symbol) const { return leaf_at_[symbol]; }
    int ParentOf(int position) const { return parent_[position]; }
    int rebuilds() const { return rebuilds_; }

  private:
    int LastOfEqualCount(int position) const;
    void Exchange(int a, int b);
    void Link(int position);
    void LinkAll();

    std::array<Node, kPositions> nodes_;
    std::array<int, kPositions> parent_; // per position; the root's is -1
    std::array<int, kSymbols> leaf_at_;  // per symbol
    int rebuilds_ = 0;
};

struct Result {
    std::vector<uint8_t> output; // exactly unpacked_size bytes
    std::vector<uint8_t> full;   // every byte the items produced, surplus included
    uint64_t bits_consumed = 0;
    bool ran_out = false; // bits were needed past the stored bytes
};

// Ring positions 4066..4095 at the start. The format leaves them undefined;
// the production decoder has them zero for the first stream and keeps what
// earlier streams left there for the next.
using Tail = std::array<uint8_t, 30>;

Result Decode(const std::vector<uint8_t>& stored, uint32_t unpacked_size, const Tail& tail = {});

// The ring's last 30 positions after a stream that started with `before` and
// produced `full` (the next installer stream sees these).
Tail TailAfter(const Tail& before, const std::vector<uint8_t>& full);

// The prefix code of the upper 6 distance bits: its value and length.
// Throws std::invalid_argument outside 0..63.
struct PrefixCode {
    uint32_t bits;
    int length;
};
PrefixCode DistanceHighCode(int high);

} // namespace oracle

#endif
