#include "tests/support/oracle_decoder.h"

#include <algorithm>
#include <stdexcept>

namespace oracle {

AdaptiveTree::AdaptiveTree() : nodes_(kPositions), parent_(kPositions), leaf_at_(kSymbols) {
    for (int s = 0; s < kSymbols; ++s)
        nodes_[s] = Node{1, true, s};
    // Inner nodes pair up the positions from the bottom in order.
    int first = 0;
    for (int p = kSymbols; p < kPositions; ++p, first += 2)
        nodes_[p] = Node{nodes_[first].count + nodes_[first + 1].count, false, first};
    Relink();
}

void AdaptiveTree::LinkChildrenOf(int position) {
    const Node& n = nodes_[position];
    if (n.leaf) {
        leaf_at_[n.value] = position;
    } else {
        parent_[n.value] = position;
        parent_[n.value + 1] = position;
    }
}

void AdaptiveTree::Relink() {
    parent_[kRoot] = -1;
    for (int p = 0; p < kPositions; ++p)
        LinkChildrenOf(p);
}

void AdaptiveTree::Count(int symbol) {
    if (nodes_[kRoot].count == kRebuildAt)
        Rebuild();
    int p = leaf_at_[symbol];
    for (;;) {
        uint32_t c = ++nodes_[p].count;
        // The node must not stay in front of nodes with a smaller count: it
        // trades places with the last such node, taking its subtree along.
        int q = p;
        while (q + 1 < kPositions && nodes_[q + 1].count < c)
            ++q;
        if (q != p) {
            std::swap(nodes_[p], nodes_[q]);
            LinkChildrenOf(p);
            LinkChildrenOf(q);
            p = q;
        }
        if (p == kRoot)
            break;
        p = parent_[p];
    }
}

void AdaptiveTree::Rebuild() {
    ++rebuilds_;
    std::vector<Node> list;
    for (const Node& n : nodes_)
        if (n.leaf)
            list.push_back(Node{(n.count + 1) / 2, true, n.value});
    for (int first = 0; list.size() < static_cast<size_t>(kPositions); first += 2) {
        uint32_t sum = list[first].count + list[first + 1].count;
        auto at = std::upper_bound(list.begin(), list.end(), sum,
                                   [](uint32_t v, const Node& n) { return v < n.count; });
        list.insert(at, Node{sum, false, first});
    }
    nodes_ = list;
    Relink();
}

std::vector<int> AdaptiveTree::CodeOf(int symbol) const {
    std::vector<int> bits;
    for (int p = leaf_at_[symbol]; p != kRoot; p = parent_[p])
        bits.push_back(p - nodes_[parent_[p]].value);
    std::reverse(bits.begin(), bits.end());
    return bits;
}

PrefixCode DistanceHighCode(int high) {
    // Lengths 3..8 hold 1, 3, 8, 12, 24 and 16 values; canonical order.
    static const int kValuesOfLength[6] = {1, 3, 8, 12, 24, 16};
    uint32_t code = 0;
    int base = 0;
    for (int i = 0; i < 6; ++i) {
        if (high < base + kValuesOfLength[i])
            return PrefixCode{code + static_cast<uint32_t>(high - base), 3 + i};
        code = (code + kValuesOfLength[i]) << 1;
        base += kValuesOfLength[i];
    }
    throw std::invalid_argument("distance above 4095");
}

namespace {

class BitSource {
  public:
    explicit BitSource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    int Bit() {
        uint64_t i = next_++;
        if (i / 8 >= bytes_.size())
            return 0;
        return (bytes_[i / 8] >> (7 - i % 8)) & 1;
    }
    uint32_t Bits(int n) {
        uint32_t v = 0;
        while (n-- > 0)
            v = (v << 1) | static_cast<uint32_t>(Bit());
        return v;
    }
    uint64_t used() const { return next_; }

  private:
    const std::vector<uint8_t>& bytes_;
    uint64_t next_ = 0;
};

int ReadDistance(BitSource& in) {
    static const int kValuesOfLength[6] = {1, 3, 8, 12, 24, 16};
    uint32_t code = in.Bits(3);
    uint32_t first = 0;
    int base = 0;
    for (int i = 0;; ++i) {
        if (code < first + kValuesOfLength[i]) {
            int high = base + static_cast<int>(code - first);
            return (high << 6) | static_cast<int>(in.Bits(6));
        }
        first = (first + kValuesOfLength[i]) << 1;
        base += kValuesOfLength[i];
        code = (code << 1) | static_cast<uint32_t>(in.Bit());
    }
}

} // namespace

Result Decode(const std::vector<uint8_t>& stored, uint32_t unpacked_size, const Tail& tail) {
    Result result;
    if (unpacked_size == 0)
        return result;
    AdaptiveTree tree;
    BitSource in(stored);
    std::vector<uint8_t>& out = result.full;
    // Output index q < 0 names what the ring held before the stream: the byte
    // just before the first output is ring position 4065, a space; 4066 bytes
    // back from there the 30 tail positions begin.
    auto history = [&](int64_t q) -> uint8_t {
        if (q >= 0)
            return out[static_cast<size_t>(q)];
        if (q >= -4066)
            return ' ';
        return tail[static_cast<size_t>(q + 4096)];
    };
    while (out.size() < unpacked_size) {
        int p = kRoot;
        while (!tree.nodes()[p].leaf)
            p = tree.nodes()[p].value + in.Bit();
        int symbol = tree.nodes()[p].value;
        tree.Count(symbol);
        if (symbol < 256) {
            out.push_back(static_cast<uint8_t>(symbol));
            continue;
        }
        int length = symbol - 253;
        int distance = ReadDistance(in);
        int64_t from = static_cast<int64_t>(out.size()) - distance - 1;
        for (int k = 0; k < length; ++k)
            out.push_back(history(from + k));
    }
    result.output.assign(out.begin(), out.begin() + unpacked_size);
    result.bits_consumed = in.used();
    result.ran_out = in.used() > stored.size() * 8;
    return result;
}

Tail TailAfter(const Tail& before, const std::vector<uint8_t>& full) {
    Tail t = before;
    // Output index q lands on ring position (4066 + q) mod 4096.
    for (size_t q = 0; q < full.size(); ++q) {
        size_t position = (4066 + q) % 4096;
        if (position >= 4066)
            t[position - 4066] = full[q];
    }
    return t;
}

} // namespace oracle
