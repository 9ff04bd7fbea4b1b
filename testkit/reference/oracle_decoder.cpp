// Each step below quotes the sentence of the README's "The compressed stream
// format" that it implements. Where the code does more than the sentence says,
// the comment says why.
#include "testkit/reference/oracle_decoder.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace oracle {

// ---------------------------------------------------------------------------
// The adaptive code

// "It starts with every symbol's count 1 and the leaves in symbol order,
// paired from the bottom up."
AdaptiveTree::AdaptiveTree() : parent_{}, leaf_at_{} {
    for (int s = 0; s < kSymbols; ++s)
        nodes_[s] = Node{1, true, s};
    // Inner node number k (at position 284 + k) pairs positions 2k and 2k + 1.
    for (int p = kSymbols, first = 0; p < kPositions; ++p, first += 2)
        nodes_[p] = Node{nodes_[first].count + nodes_[first + 1].count, false, first};
    LinkAll();
}

// Who points at the node at `position`: its symbol, for a leaf; for an inner
// node, its two children, which find their parent by position.
void AdaptiveTree::Link(int position) {
    const Node& n = nodes_[position];
    if (n.leaf) {
        leaf_at_[n.value] = position;
    } else {
        parent_[n.value] = position;
        parent_[n.value + 1] = position;
    }
}

void AdaptiveTree::LinkAll() {
    parent_[kRoot] = -1;
    for (int p = 0; p < kPositions; ++p)
        Link(p);
}

// "After each symbol the counts on the way from its leaf to the root are
// increased, each node being first exchanged with the last node of equal
// count when its count would pass its right neighbour's."
void AdaptiveTree::Count(int symbol) {
    // "When the root count has reached 0x8000 before an update, the tree is
    // rebuilt"
    if (nodes_[kRoot].count >= kRebuildAt)
        Rebuild();
    int p = leaf_at_[symbol];
    for (;;) {
        // The root is the last position: it has no right neighbour.
        bool would_pass = p != kRoot && nodes_[p].count + 1 > nodes_[p + 1].count;
        if (would_pass) {
            int last = LastOfEqualCount(p);
            Exchange(p, last);
            p = last;
        }
        nodes_[p].count++;
        if (p == kRoot)
            break;
        p = parent_[p];
    }
}

// "the last node of equal count": counts never fall from one position to the
// next, so the nodes with the same count as this one follow it in one run.
// (Never the root: its count is larger than any other.)
int AdaptiveTree::LastOfEqualCount(int position) const {
    int last = position;
    while (last + 1 < kPositions && nodes_[last + 1].count == nodes_[position].count)
        ++last;
    return last;
}

// The nodes at a and b trade places, each taking its subtree along: the
// parents of the two positions stay as they are, the children and symbols of
// the moved nodes follow them.
void AdaptiveTree::Exchange(int a, int b) {
    std::swap(nodes_[a], nodes_[b]);
    Link(a);
    Link(b);
}

// "the tree is rebuilt from the leaves with halved counts ((c + 1) / 2), a new
// inner node placed after nodes of equal count"
void AdaptiveTree::Rebuild() {
    ++rebuilds_;
    // The leaves first, in the order they stand, halved (rounding up, so that
    // no count becomes 0; halving keeps them in ascending order).
    std::array<Node, kPositions> rebuilt{};
    int size = 0;
    for (const Node& n : nodes_) {
        if (n.leaf)
            rebuilt[size++] = Node{(n.count + 1) / 2, true, n.value};
    }
    // Then the inner nodes, pairing positions from the bottom up as at the
    // start; each goes in after every node whose count is at most its own,
    // the nodes above it moving up one place. Its children are below it, so
    // no child moves and no earlier inner node's children move either.
    for (int first = 0; size < kPositions; first += 2) {
        Node inner{rebuilt[first].count + rebuilt[first + 1].count, false, first};
        int at = size;
        while (rebuilt[at - 1].count > inner.count) {
            rebuilt[at] = rebuilt[at - 1];
            --at;
        }
        rebuilt[at] = inner;
        ++size;
    }
    nodes_ = rebuilt;
    LinkAll();
}

std::vector<int> AdaptiveTree::CodeOf(int symbol) const {
    std::vector<int> bits;
    for (int p = leaf_at_[symbol]; p != kRoot; p = parent_[p])
        bits.push_back(p - nodes_[parent_[p]].value); // 0 for the first child
    std::reverse(bits.begin(), bits.end());
    return bits;
}

// ---------------------------------------------------------------------------
// The distance prefix code

namespace {

// "3 bits for 0, 4 bits for 1..3, 5 for 4..11, 6 for 12..23, 7 for 24..47,
// 8 for 48..63"
int HighCodeLength(int high) {
    if (high == 0)
        return 3;
    if (high <= 3)
        return 4;
    if (high <= 11)
        return 5;
    if (high <= 23)
        return 6;
    if (high <= 47)
        return 7;
    return 8;
}

} // namespace

// "as the table in decoder/code_tree.cpp gives": that table spells out the
// canonical code of these lengths. In order of value, each code is the
// previous one plus one, shifted left by as many bits as the length grows.
PrefixCode DistanceHighCode(int high) {
    if (high < 0 || high > 63)
        throw std::invalid_argument("upper distance bits out of range");
    uint32_t code = 0;
    for (int h = 1; h <= high; ++h)
        code = (code + 1) << (HighCodeLength(h) - HighCodeLength(h - 1));
    return PrefixCode{code, HighCodeLength(high)};
}

// ---------------------------------------------------------------------------
// The decoder

namespace {

constexpr int kRingSize = 4096;
constexpr int kStart = 4066;

// "Bits are read most significant first within each byte. Past the stored
// bytes the decoder reads zero bits."
class BitReader {
  public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    int Bit() {
        uint64_t i = next_++;
        if (i / 8 >= bytes_.size())
            return 0;
        return (bytes_[i / 8] >> (7 - i % 8)) & 1;
    }

    uint32_t Bits(int count) {
        uint32_t v = 0;
        for (int k = 0; k < count; ++k)
            v = (v << 1) | static_cast<uint32_t>(Bit());
        return v;
    }

    uint64_t used() const { return next_; }

  private:
    const std::vector<uint8_t>& bytes_;
    uint64_t next_ = 0;
};

struct Ring {
    std::array<uint8_t, kRingSize> at;
    int r;
};

// "The ring starts with positions 0..4065 set to spaces and the write position
// r = 4066. Positions 4066..4095 are undefined": the caller says what they
// hold.
Ring StartRing(const Tail& tail) {
    Ring ring{};
    for (int p = 0; p < kStart; ++p)
        ring.at[p] = ' ';
    for (int p = kStart; p < kRingSize; ++p)
        ring.at[p] = tail[p - kStart];
    ring.r = kStart;
    return ring;
}

// "Every decoded byte is also written into the ring at r, and r advances."
void Put(Ring& ring, uint8_t byte) {
    ring.at[ring.r] = byte;
    ring.r = (ring.r + 1) % kRingSize;
}

void Emit(Ring& ring, uint8_t byte, std::vector<uint8_t>& out) {
    out.push_back(byte);
    Put(ring, byte);
}

// "Each item begins with a symbol of the adaptive code": from the root, a 0
// bit leads to an inner node's first child, a 1 bit to the second, down to a
// leaf.
int ReadSymbol(const AdaptiveTree& tree, BitReader& in) {
    int p = kRoot;
    while (!tree.nodes()[p].leaf)
        p = tree.nodes()[p].value + in.Bit();
    return tree.nodes()[p].value;
}

// The value each code stands for: kNoValue[length][bits] for the bit
// strings that are no code (the shorter ones are prefixes of codes).
constexpr int kNoValue = -1;
using CodeTable = std::array<std::array<int, 256>, 9>;

CodeTable HighValuesByCode() {
    CodeTable value_of{};
    for (auto& row : value_of)
        row.fill(kNoValue);
    for (int high = 0; high < 64; ++high) {
        PrefixCode code = DistanceHighCode(high);
        value_of[code.length][code.bits] = high;
    }
    return value_of;
}

// "A match is followed by a distance d (0..4095): the upper 6 bits with a
// fixed prefix code ..., then the lower 6 bits plain." Bits are taken one at
// a time until they spell the code of some value; every run of 8 bits starts
// with one.
int ReadDistance(BitReader& in) {
    static const CodeTable value_of = HighValuesByCode();
    uint32_t read = 0;
    for (int length = 1; length <= 8; ++length) {
        read = (read << 1) | static_cast<uint32_t>(in.Bit());
        int high = value_of[length][read];
        if (high != kNoValue)
            return (high << 6) | static_cast<int>(in.Bits(6));
    }
    throw std::logic_error("the distance prefix code is not complete");
}

// "The match copies byte by byte from ring position r - d - 1 (mod 4096), so
// it may overlap what it produces."
void CopyMatch(Ring& ring, int length, int distance, std::vector<uint8_t>& out) {
    int from = (ring.r - distance - 1 + kRingSize) % kRingSize;
    for (int k = 0; k < length; ++k)
        Emit(ring, ring.at[(from + k) % kRingSize], out);
}

} // namespace

Result Decode(const std::vector<uint8_t>& stored, uint32_t unpacked_size, const Tail& tail) {
    Result result;
    AdaptiveTree tree;
    BitReader in(stored);
    Ring ring = StartRing(tail);
    // "Decoding stops once the unpacked size is reached; a last match may run
    // past it and the surplus is dropped."
    while (result.full.size() < unpacked_size) {
        int symbol = ReadSymbol(tree, in);
        // "After each symbol the counts on the way from its leaf to the root
        // are increased"
        tree.Count(symbol);
        // "0..255 are literal bytes, 256..283 are matches of length
        // symbol - 253 (3..30 bytes)."
        if (symbol < 256)
            Emit(ring, static_cast<uint8_t>(symbol), result.full);
        else
            CopyMatch(ring, symbol - 253, ReadDistance(in), result.full);
    }
    result.output.assign(result.full.begin(), result.full.begin() + unpacked_size);
    result.bits_consumed = in.used();
    result.ran_out = in.used() > 8 * static_cast<uint64_t>(stored.size());
    return result;
}

Tail TailAfter(const Tail& before, const std::vector<uint8_t>& full) {
    Ring ring = StartRing(before);
    for (uint8_t byte : full)
        Put(ring, byte);
    Tail tail{};
    for (int p = kStart; p < kRingSize; ++p)
        tail[p - kStart] = ring.at[p];
    return tail;
}

} // namespace oracle
