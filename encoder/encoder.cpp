// Three modes over one pair of parts: a match finder that lists, for each
// position, the nearest source of every match length, and parsers that turn
// those lists into items coded with the adaptive code (updated after each
// symbol through the decoder's own functions).
//
// Greedy is the yardstick: the complete binary-tree finder and the longest
// match wherever there is one. Default trades the complete search for hash
// chains walked a few links deep (runs of one byte are stepped over as a
// whole, or they would use up the walk) and parses with the same shortest-path
// parser as Best's first pass. On inputs up to kGreedyCheckLimit it also runs
// Greedy and keeps the shorter stream; beyond that, nothing but the parse's
// margin over Greedy (1.5% and more on every kind of corpus data, and on
// long-run picture data) keeps it from coming out longer. Best runs the
// complete finder with Greedy and two shortest-path parsers side by side, and
// also keeps Default's stream if that is shorter, so it never loses to either
// mode.
//
// The decoder's ring starts as 4066 spaces with the write position right
// after them, and its last 30 bytes are whatever the previous stream left
// there. The encoder therefore sees the input behind 4066 spaces: a position
// of that text is also its ring position until the ring wraps, sources before
// the spaces do not exist, and no match ever reads the 30 undefined bytes.
#include "encoder/encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "decoder/code_tree.h"
#include "encoder/match_finder.h"

namespace encoder {
namespace {

constexpr size_t kPrefix = CODE_INITIAL_POSITION;  // spaces ahead of the input
constexpr int kLengthSymbolBase = 256 - kMinMatch; // symbol of a match = base + length

// How far the candidate lists run ahead of the slowest parser, and the most
// positions they hold at once.
constexpr size_t kLookahead = 4096;
constexpr size_t kTableSpan = 8192;

// Default mode also runs the greedy parse, and keeps the shorter stream, on
// inputs up to this size.
constexpr size_t kGreedyCheckLimit = 256 * 1024;
// Chain links Default's finder walks per position.
constexpr uint32_t kChainDepth = 16;

// The distance code, turned around: the prefix code of the upper 6 bits as
// the decoder's tables define it.
struct DistanceCode {
    uint8_t code[64];
    uint8_t bits[64];
};

const DistanceCode& Distances() {
    static const DistanceCode table = [] {
        DistanceCode t{};
        bool seen[64] = {};
        for (int p = 0; p < 256; ++p) {
            int high = DistanceHighBits[p];
            if (seen[high])
                continue;
            seen[high] = true;
            t.bits[high] = DistanceCodeLength[p];
            t.code[high] = static_cast<uint8_t>(p >> (8 - DistanceCodeLength[p]));
        }
        return t;
    }();
    return table;
}

inline int DistanceBits(int distance) {
    return Distances().bits[distance >> 6] + 6;
}

class BitWriter {
  public:
    // `bits` <= 32.
    void Put(uint32_t value, int bits) {
        acc_ = (acc_ << bits) | value;
        count_ += bits;
        total_ += static_cast<size_t>(bits);
        while (count_ >= 8) {
            count_ -= 8;
            out_.push_back(static_cast<uint8_t>(acc_ >> count_));
        }
    }
    size_t BitCount() const { return total_; }
    // The last byte is padded with zero bits.
    std::vector<uint8_t> Finish() {
        if (count_)
            Put(0, 8 - count_);
        return std::move(out_);
    }

  private:
    std::vector<uint8_t> out_;
    uint64_t acc_ = 0;
    int count_ = 0;
    size_t total_ = 0;
};

// One stream being written: the adaptive code, updated after each symbol
// through the decoder's own functions, and the bits.
class StreamWriter {
  public:
    StreamWriter() { InitCodeTree(&tree_); }

    void Literal(uint8_t byte) { PutSymbol(byte); }

    void Match(int length, int distance) {
        PutSymbol(kLengthSymbolBase + length);
        const DistanceCode& t = Distances();
        bits_.Put(t.code[distance >> 6], t.bits[distance >> 6]);
        bits_.Put(static_cast<unsigned>(distance) & 0x3Fu, 6);
    }

    const CodeTree& tree() const { return tree_; }
    size_t BitCount() const { return bits_.BitCount(); }
    std::vector<uint8_t> Finish() { return bits_.Finish(); }

  private:
    // A symbol's code is its leaf's path from the root: at each inner node,
    // 0 for the first child, 1 for the second.
    // No count exceeds 0x8000, and a leaf at depth d needs a root count of
    // at least the Fibonacci number F(d + 2), so a code has at most 22 bits.
    void PutSymbol(int symbol) {
        uint32_t code = 0;
        int depth = 0;
        unsigned node = tree_.parent[CODE_TREE_NODES + symbol];
        while (node != CODE_TREE_ROOT) {
            unsigned up = tree_.parent[node];
            code |= static_cast<uint32_t>(tree_.child[up] != node) << depth;
            ++depth;
            node = up;
        }
        bits_.Put(code, depth);
        UpdateCodeTree(&tree_, symbol);
    }

    CodeTree tree_;
    BitWriter bits_;
};

// Candidate lists of the positions [filled - kTableSpan, filled), indexed by
// input position.
class CandidateTable {
  public:
    CandidateTable(MatchFinder* tree, ChainMatchFinder* chain, size_t size)
        : tree_(tree), chain_(chain), size_(size), counts_(kTableSpan),
          candidates_(kTableSpan * kMaxCandidates) {}

    void FillTo(size_t end) {
        end = std::min(end, size_);
        for (; filled_ < end; ++filled_) {
            size_t slot = filled_ % kTableSpan;
            Candidate* out = &candidates_[slot * kMaxCandidates];
            counts_[slot] = static_cast<uint8_t>(tree_ ? tree_->Find(kPrefix + filled_, out)
                                                       : chain_->Find(kPrefix + filled_, out));
        }
    }
    size_t filled() const { return filled_; }
    int Count(size_t pos) const { return counts_[pos % kTableSpan]; }
    const Candidate* At(size_t pos) const {
        return &candidates_[(pos % kTableSpan) * kMaxCandidates];
    }

  private:
    MatchFinder* tree_; // one of the two finders is used
    ChainMatchFinder* chain_;
    size_t size_;
    size_t filled_ = 0;
    std::vector<uint8_t> counts_;
    std::vector<Candidate> candidates_;
};

class Parser {
  public:
    virtual ~Parser() = default;
    // Codes as much of the input as the candidate lists filled so far allow.
    virtual void Advance(const CandidateTable& table, const uint8_t* data, size_t size) = 0;
    size_t position() const { return pos_; }
    size_t BitCount() const { return out_.BitCount(); }
    std::vector<uint8_t> Finish() { return out_.Finish(); }

  protected:
    size_t pos_ = 0;
    StreamWriter out_;
};

// The classic parse: the longest match wherever there is one.
class GreedyParser : public Parser {
  public:
    void Advance(const CandidateTable& table, const uint8_t* data, size_t) override {
        const size_t end = table.filled();
        while (pos_ < end) {
            int n = table.Count(pos_);
            if (n > 0) {
                const Candidate& c = table.At(pos_)[n - 1];
                out_.Match(c.length, c.distance);
                pos_ += c.length;
            } else {
                out_.Literal(data[pos_]);
                ++pos_;
            }
        }
    }
};

// Code length of every symbol in `tree`, in bits.
void SymbolBits(const CodeTree& tree, uint32_t* out) {
    for (int s = 0; s < CODE_SYMBOLS; ++s) {
        uint32_t depth = 0;
        for (unsigned node = tree.parent[CODE_TREE_NODES + s]; node != CODE_TREE_ROOT;
             node = tree.parent[node])
            ++depth;
        out[s] = depth;
    }
}

// Prices are in sixteenths of a bit.
constexpr uint32_t kScale = 16;

// The price of every symbol in `tree`: the mean of its code length and of
// -log2 of its share of the root count. The code length alone is what the
// symbol costs now; the share says how close it is to the next shorter or
// longer code, which is where the adaptive code goes as symbols are counted.
void SymbolPrices(const CodeTree& tree, uint32_t* out) {
    uint32_t bits[CODE_SYMBOLS];
    SymbolBits(tree, bits);
    const double root = tree.counts[CODE_TREE_ROOT];
    for (int s = 0; s < CODE_SYMBOLS; ++s) {
        double share = -std::log2(tree.counts[tree.parent[CODE_TREE_NODES + s]] / root);
        out[s] = static_cast<uint32_t>(std::lround((share + bits[s]) * kScale / 2));
    }
}

// Shortest path through a window of positions, each item priced from the
// adaptive tree as it is when the window starts (SymbolPrices). Only the part
// of the path that is well clear of the window's end is coded; the next
// window starts there with fresh prices.
//
// With more than one pass, each further pass prices the items with the mean
// of the prices at the window's start and those the tree would have after
// coding the previous pass's path, and the path that really codes shortest
// (by running the tree over it) is kept.
class OptimalParser : public Parser {
  public:
    OptimalParser(size_t window, size_t tail, int passes)
        : window_(window), tail_(tail), passes_(passes), cost_(window + 1), length_(window + 1),
          distance_(window + 1) {
        path_.reserve(window);
        best_.reserve(window);
    }

    void Advance(const CandidateTable& table, const uint8_t* data, size_t size) override {
        const size_t end = table.filled();
        while (pos_ < size) {
            size_t stop = pos_ + window_;
            if (stop > end) {
                if (end < size)
                    return; // wait for more candidates
                stop = size;
            }
            RunWindow(table, data, stop, stop == size);
        }
    }

  private:
    struct Item {
        uint16_t length; // 1: a literal
        uint16_t distance;
    };

    void RunWindow(const CandidateTable& table, const uint8_t* data, size_t stop, bool last) {
        const size_t span = stop - pos_;
        uint32_t start[CODE_SYMBOLS];
        uint32_t price[CODE_SYMBOLS];
        SymbolPrices(out_.tree(), start);
        Parse(table, data, span, start);
        best_.swap(path_);
        if (passes_ > 1) {
            CodeTree after;
            uint64_t best_bits = Simulate(best_, data, &after);
            for (int pass = 1; pass < passes_; ++pass) {
                uint32_t end[CODE_SYMBOLS];
                SymbolPrices(after, end);
                for (int s = 0; s < CODE_SYMBOLS; ++s)
                    price[s] = (start[s] + end[s]) / 2;
                Parse(table, data, span, price);
                uint64_t bits = Simulate(path_, data, &after);
                if (bits < best_bits) {
                    best_bits = bits;
                    best_.swap(path_);
                }
            }
        }
        Commit(data, last ? span : span - std::min(span, tail_));
    }

    // Fills path_ with the cheapest items from pos_ to pos_ + span.
    void Parse(const CandidateTable& table, const uint8_t* data, size_t span,
               const uint32_t* price) {
        std::fill(cost_.begin(), cost_.begin() + static_cast<ptrdiff_t>(span) + 1, UINT32_MAX);
        cost_[0] = 0;
        for (size_t i = 0; i < span; ++i) {
            const uint32_t here = cost_[i];
            const uint32_t lit = here + price[data[pos_ + i]];
            if (lit < cost_[i + 1]) {
                cost_[i + 1] = lit;
                length_[i + 1] = 1;
            }
            const int n = table.Count(pos_ + i);
            const Candidate* c = table.At(pos_ + i);
            const size_t room = span - i;
            size_t len = kMinMatch;
            for (int k = 0; k < n && len <= room; ++k) {
                const size_t top = std::min<size_t>(c[k].length, room);
                const uint32_t base =
                    here + static_cast<uint32_t>(DistanceBits(c[k].distance)) * kScale;
                for (; len <= top; ++len) {
                    uint32_t v = base + price[kLengthSymbolBase + len];
                    if (v < cost_[i + len]) {
                        cost_[i + len] = v;
                        length_[i + len] = static_cast<uint8_t>(len);
                        distance_[i + len] = c[k].distance;
                    }
                }
            }
        }
        // Walk back from the window's end, then turn the path around.
        path_.clear();
        for (size_t j = span; j > 0; j -= length_[j])
            path_.push_back({length_[j], distance_[j]});
        std::reverse(path_.begin(), path_.end());
    }

    // Bits `path` takes when coded from the current tree; `after` receives the
    // tree at its end.
    uint64_t Simulate(const std::vector<Item>& path, const uint8_t* data, CodeTree* after) const {
        *after = out_.tree();
        uint64_t bits = 0;
        size_t at = pos_;
        for (const Item& item : path) {
            int symbol = item.length == 1 ? data[at] : kLengthSymbolBase + item.length;
            for (unsigned node = after->parent[CODE_TREE_NODES + symbol]; node != CODE_TREE_ROOT;
                 node = after->parent[node])
                ++bits;
            if (item.length > 1)
                bits += static_cast<uint64_t>(DistanceBits(item.distance));
            UpdateCodeTree(after, symbol);
            at += item.length;
        }
        return bits;
    }

    // Codes the items of best_ that start before `limit` (at least one).
    void Commit(const uint8_t* data, size_t limit) {
        size_t done = 0;
        for (const Item& item : best_) {
            if (done >= limit && done > 0)
                break;
            if (item.length == 1)
                out_.Literal(data[pos_ + done]);
            else
                out_.Match(item.length, item.distance);
            done += item.length;
        }
        pos_ += done;
    }

    size_t window_;
    size_t tail_;
    int passes_;
    std::vector<uint32_t> cost_;
    std::vector<uint8_t> length_;
    std::vector<uint16_t> distance_;
    std::vector<Item> path_;
    std::vector<Item> best_;
};

// Runs the complete match finder once and the given parsers side by side;
// returns the shortest of their streams.
std::vector<uint8_t> CompressWithParsers(const uint8_t* data, size_t size, bool chains,
                                         uint32_t max_depth,
                                         std::vector<std::unique_ptr<Parser>> parsers) {
    std::vector<uint8_t> text(kPrefix + size, ' ');
    std::memcpy(text.data() + kPrefix, data, size);
    std::unique_ptr<MatchFinder> tree;
    std::unique_ptr<ChainMatchFinder> chain;
    if (chains)
        chain = std::make_unique<ChainMatchFinder>(text.data(), text.size(), max_depth);
    else
        tree = std::make_unique<MatchFinder>(text.data(), text.size(), max_depth);
    {
        // The spaces are in the ring before the first item: let the finder
        // know them as sources.
        Candidate unused[kMaxCandidates];
        for (size_t p = 0; p < kPrefix; ++p) {
            if (chain)
                chain->Find(p, unused);
            else
                tree->Find(p, unused);
        }
    }
    CandidateTable table(tree.get(), chain.get(), size);

    for (;;) {
        size_t slowest = size;
        for (const auto& p : parsers)
            slowest = std::min(slowest, p->position());
        if (slowest >= size)
            break;
        table.FillTo(slowest + kLookahead);
        for (const auto& p : parsers)
            p->Advance(table, data, size);
    }

    size_t winner = 0;
    for (size_t i = 1; i < parsers.size(); ++i) {
        if (parsers[i]->BitCount() < parsers[winner]->BitCount())
            winner = i;
    }
    return parsers[winner]->Finish();
}

} // namespace

std::vector<uint8_t> Compress(const uint8_t* data, size_t size, Mode mode) {
    if (size > kMaxInputSize)
        throw std::length_error("input too large for the stream format");
    if (size == 0)
        return {};

    std::vector<std::unique_ptr<Parser>> parsers;
    parsers.push_back(std::make_unique<GreedyParser>());
    if (mode == Mode::Greedy)
        return CompressWithParsers(data, size, false, 0, std::move(parsers));

    // Default: the cheap finder.
    std::vector<std::unique_ptr<Parser>> fast_parsers;
    fast_parsers.push_back(std::make_unique<OptimalParser>(4096, 64, 1));
    std::vector<uint8_t> fast =
        CompressWithParsers(data, size, true, kChainDepth, std::move(fast_parsers));
    if (mode == Mode::Default) {
        if (size > kGreedyCheckLimit)
            return fast;
        std::vector<uint8_t> greedy = CompressWithParsers(data, size, false, 0, std::move(parsers));
        return greedy.size() < fast.size() ? greedy : fast;
    }
    parsers.push_back(std::make_unique<OptimalParser>(4096, 64, 1));
    parsers.push_back(std::make_unique<OptimalParser>(4096, 64, 4));
    std::vector<uint8_t> best = CompressWithParsers(data, size, false, 0, std::move(parsers));
    return best.size() <= fast.size() ? best : fast;
}

} // namespace encoder
