// An independent, deliberately plain reading of the compressed-stream format,
// used only to check the production decoder. It shares no code with decoder/:
// its tree is a list of nodes in position order, its bits are read one at a
// time by index, its distance prefix is decoded as a canonical code, and its
// "ring" is the output history itself with 4066 spaces and 30 tail bytes in
// front.
#ifndef GLIM_TESTS_SUPPORT_ORACLE_DECODER_H
#define GLIM_TESTS_SUPPORT_ORACLE_DECODER_H

#include <array>
#include <cstdint>
#include <vector>

namespace oracle {

constexpr int kSymbols = 284;
constexpr int kPositions = 2 * kSymbols - 1;
constexpr int kRoot = kPositions - 1;
constexpr uint32_t kRebuildAt = 0x8000;

// The adaptive code: node positions 0..566, counts ascending with position.
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

    const std::vector<Node>& nodes() const { return nodes_; }
    int PositionOf(int symbol) const { return leaf_at_[symbol]; }
    int ParentOf(int position) const { return parent_[position]; }
    int rebuilds() const { return rebuilds_; }

  private:
    void Relink();
    void LinkChildrenOf(int position);

    std::vector<Node> nodes_;
    std::vector<int> parent_;  // per position; the root's is -1
    std::vector<int> leaf_at_; // per symbol
    int rebuilds_ = 0;
};

struct Result {
    std::vector<uint8_t> output; // exactly unpacked_size bytes
    std::vector<uint8_t> full;   // every byte the items produced, surplus included
    uint64_t bits_consumed = 0;
    bool ran_out = false; // bits were needed past the stored bytes
};

using Tail = std::array<uint8_t, 30>; // ring positions 4066..4095 at the start

Result Decode(const std::vector<uint8_t>& stored, uint32_t unpacked_size, const Tail& tail = {});

// The ring's last 30 positions after a stream that started with `before` and
// produced `full` (the next installer stream sees these).
Tail TailAfter(const Tail& before, const std::vector<uint8_t>& full);

// The canonical code of the upper 6 distance bits: its value and length.
struct PrefixCode {
    uint32_t bits;
    int length;
};
PrefixCode DistanceHighCode(int high);

} // namespace oracle

#endif
