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
//
// Nothing needs more of that text than the window behind the finder and the
// look-ahead of the candidate lists, so the text is read through a sliding
// buffer (TextWindow). A finder with its candidate lists and parsers is a
// lane; when a mode needs both finders, their lanes run over the same buffer
// in one pass, the lane that is further behind going first. Each lane does
// exactly what it would do alone, so the streams do not depend on how the
// input arrives or on what else runs beside them.
#include "encoder/encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <utility>

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
// The text buffer: Default reads that far ahead before it starts, to know
// whether to run the check; after that only a few windows' worth is in use,
// so the buffer is moved up rarely.
constexpr size_t kBufferSize = 512 * 1024;
static_assert(kBufferSize > kPrefix + kGreedyCheckLimit + 1 + kMaxMatch,
              "Default's first read must fit the buffer");
// How far one lane runs ahead of the other before they change places: the
// two lanes' tables do not fit the caches together.
constexpr size_t kLaneRun = 64 * 1024;
// Input size a lane does not know yet (its source has not ended).
constexpr size_t kUnknownSize = SIZE_MAX;
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

// The bits of one stream, handed to a sink in pieces as they are made.
class BitWriter {
  public:
    explicit BitWriter(Sink* out) : out_(out), bytes_(kFlushAt + 8) {}

    // `bits` <= 32.
    void Put(uint32_t value, int bits) {
        acc_ = (acc_ << bits) | value;
        count_ += bits;
        total_ += static_cast<size_t>(bits);
        while (count_ >= 8) {
            count_ -= 8;
            bytes_[held_++] = static_cast<uint8_t>(acc_ >> count_);
        }
        if (held_ >= kFlushAt)
            Flush();
    }
    size_t BitCount() const { return total_; }
    // The last byte is padded with zero bits.
    void Finish() {
        if (count_)
            Put(0, 8 - count_);
        Flush();
    }

  private:
    static constexpr size_t kFlushAt = 64 * 1024;

    void Flush() {
        if (held_)
            out_->Write(bytes_.data(), held_);
        held_ = 0;
    }

    Sink* out_;
    std::vector<uint8_t> bytes_; // room for kFlushAt and one more Put
    size_t held_ = 0;
    uint64_t acc_ = 0;
    int count_ = 0;
    size_t total_ = 0;
};

// One stream being written: the adaptive code, updated after each symbol
// through the decoder's own functions, and the bits.
class StreamWriter {
  public:
    explicit StreamWriter(Sink* out) : bits_(out) { InitCodeTree(&tree_); }

    void Literal(uint8_t byte) { PutSymbol(byte); }

    void Match(int length, int distance) {
        PutSymbol(kLengthSymbolBase + length);
        const DistanceCode& t = Distances();
        bits_.Put(t.code[distance >> 6], t.bits[distance >> 6]);
        bits_.Put(static_cast<unsigned>(distance) & 0x3Fu, 6);
    }

    const CodeTree& tree() const { return tree_; }
    size_t BitCount() const { return bits_.BitCount(); }
    void Finish() { bits_.Finish(); }

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

// The input behind the spaces, read from the source into a buffer that holds
// the text positions [base, end). Positions are those of the whole text, so
// the finders index it as if it were all there.
class TextWindow {
  public:
    explicit TextWindow(Source* source) : source_(source), buffer_(kBufferSize) {
        std::fill(buffer_.begin(), buffer_.begin() + kPrefix, ' ');
        end_ = kPrefix;
    }

    // Reads until the text runs to `end`, or the input has ended, or it went
    // past kMaxInputSize.
    void FillTo(size_t end) {
        while (end_ < end && !ended_ && !too_large_) {
            if (end_ - base_ == buffer_.size())
                MoveUp();
            const size_t used = end_ - base_;
            const size_t n = source_->Read(buffer_.data() + used, buffer_.size() - used);
            if (n == 0)
                ended_ = true;
            end_ += n;
            too_large_ = end_ - kPrefix > kMaxInputSize;
        }
    }

    // Text before `pos` is no longer needed.
    void Release(size_t pos) { keep_ = std::max(keep_, std::min(pos, end_)); }

    bool ended() const { return ended_; }
    bool too_large() const { return too_large_; }
    size_t input_size() const { return end_ - kPrefix; }
    // The input's size once it has ended, else kUnknownSize.
    size_t known_size() const { return ended_ ? input_size() : kUnknownSize; }
    TextView view() const { return TextView{buffer_.data(), base_, end_}; }

  private:
    // Drops the released text from the front of the buffer.
    void MoveUp() {
        if (keep_ == base_)
            throw std::logic_error("encoder: text window overrun");
        std::memmove(buffer_.data(), buffer_.data() + (keep_ - base_), end_ - keep_);
        base_ = keep_;
    }

    Source* source_;
    std::vector<uint8_t> buffer_;
    size_t base_ = 0; // text position of buffer_[0]
    size_t end_ = 0;
    size_t keep_ = 0;
    bool ended_ = false;
    bool too_large_ = false;
};

// Input position `pos` (text position kPrefix + pos) as the parsers read it.
class InputView {
  public:
    explicit InputView(const TextView& text) : text_(text) {}
    uint8_t operator[](size_t pos) const { return *At(pos); }
    // The bytes from `pos` on, as far as the window holds them.
    const uint8_t* At(size_t pos) const { return text_.At(kPrefix + pos); }

  private:
    TextView text_;
};

// Candidate lists of the positions [filled - kTableSpan, filled), indexed by
// input position.
class CandidateTable {
  public:
    CandidateTable(MatchFinder* tree, ChainMatchFinder* chain)
        : tree_(tree), chain_(chain), counts_(kTableSpan),
          candidates_(kTableSpan * kMaxCandidates) {}

    // `size` is the input's size, or kUnknownSize while the text reaches at
    // least kMaxMatch beyond `end`.
    void FillTo(size_t end, size_t size) {
        end = std::min(end, size);
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
    size_t filled_ = 0;
    std::vector<uint8_t> counts_;
    std::vector<Candidate> candidates_;
};

class Parser {
  public:
    explicit Parser(Sink* out) : out_(out) {}
    virtual ~Parser() = default;
    // Codes as much of the input as the candidate lists filled so far allow;
    // `size` is the input's size or kUnknownSize.
    virtual void Advance(const CandidateTable& table, const InputView& data, size_t size) = 0;
    size_t position() const { return pos_; }
    size_t BitCount() const { return out_.BitCount(); }
    void Finish() { out_.Finish(); }

  protected:
    size_t pos_ = 0;
    StreamWriter out_;
};

// The classic parse: the longest match wherever there is one.
class GreedyParser : public Parser {
  public:
    using Parser::Parser;

    void Advance(const CandidateTable& table, const InputView& data, size_t) override {
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
    OptimalParser(Sink* out, size_t window, size_t tail, int passes)
        : Parser(out), window_(window), tail_(tail), passes_(passes), cost_(window + 1),
          length_(window + 1), distance_(window + 1) {
        path_.reserve(window);
        best_.reserve(window);
    }

    void Advance(const CandidateTable& table, const InputView& data, size_t size) override {
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

    void RunWindow(const CandidateTable& table, const InputView& data, size_t stop, bool last) {
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
    void Parse(const CandidateTable& table, const InputView& data, size_t span,
               const uint32_t* price) {
        std::fill(cost_.begin(), cost_.begin() + static_cast<ptrdiff_t>(span) + 1, UINT32_MAX);
        cost_[0] = 0;
        const uint8_t* bytes = data.At(pos_);
        for (size_t i = 0; i < span; ++i) {
            const uint32_t here = cost_[i];
            const uint32_t lit = here + price[bytes[i]];
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
    uint64_t Simulate(const std::vector<Item>& path, const InputView& data, CodeTree* after) const {
        *after = out_.tree();
        uint64_t bits = 0;
        const uint8_t* at = data.At(pos_);
        for (const Item& item : path) {
            int symbol = item.length == 1 ? *at : kLengthSymbolBase + item.length;
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
    void Commit(const InputView& data, size_t limit) {
        const uint8_t* bytes = data.At(pos_);
        size_t done = 0;
        for (const Item& item : best_) {
            if (done >= limit && done > 0)
                break;
            if (item.length == 1)
                out_.Literal(bytes[done]);
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

// A parser's stream in the making, and the spool it goes to (none when it
// goes straight to the caller's sink).
struct Contender {
    std::unique_ptr<Spool> spool;
    std::unique_ptr<Parser> parser;
    bool dropped = false; // over the limit: no longer run

    size_t Bytes() const { return (parser->BitCount() + 7) / 8; }
};

// One finder, its candidate lists and the parsers that read them.
class Lane {
  public:
    Lane(bool chains, uint32_t max_depth)
        : tree_(chains ? nullptr : std::make_unique<MatchFinder>(max_depth)),
          chain_(chains ? std::make_unique<ChainMatchFinder>(max_depth) : nullptr),
          table_(tree_.get(), chain_.get()) {}

    // A parser of type P, made with `args`, writing to `spool`, or to `sink`
    // when `spool` is null.
    template <class P, class... Args>
    Contender* Add(std::unique_ptr<Spool> spool, Sink* sink, Args... args) {
        auto c = std::make_unique<Contender>();
        c->parser = std::make_unique<P>(spool ? spool.get() : sink, args...);
        c->spool = std::move(spool);
        contenders_.push_back(std::move(c));
        return contenders_.back().get();
    }

    // Position of the slowest parser still running, SIZE_MAX when none is.
    size_t Slowest() const {
        size_t slowest = SIZE_MAX;
        for (const auto& c : contenders_) {
            if (!c->dropped)
                slowest = std::min(slowest, c->parser->position());
        }
        return slowest;
    }

    bool Done(const TextWindow& text) const {
        const size_t slowest = Slowest();
        return slowest == SIZE_MAX || (text.ended() && slowest >= text.input_size());
    }

    // First text position the lane will read again (the finder looks a
    // window back from the next position it lists).
    size_t Keep(const TextWindow& text) const {
        if (Done(text))
            return SIZE_MAX;
        const size_t from = kPrefix + std::min(table_.filled(), Slowest());
        return from > kWindow ? from - kWindow : 0;
    }

    // One step of the lane: the lists run ahead of the slowest parser, and
    // every parser codes what they allow.
    void Step(TextWindow* text) {
        const size_t target = Slowest() + kLookahead;
        text->FillTo(kPrefix + target + kMaxMatch);
        if (text->too_large())
            return;
        const TextView view = text->view();
        if (tree_)
            tree_->SetText(view);
        else
            chain_->SetText(view);
        if (!primed_) {
            // The spaces are in the ring before the first item: let the
            // finder know them as sources.
            Candidate unused[kMaxCandidates];
            for (size_t p = 0; p < kPrefix; ++p) {
                if (tree_)
                    tree_->Find(p, unused);
                else
                    chain_->Find(p, unused);
            }
            primed_ = true;
        }
        const size_t size = text->known_size();
        table_.FillTo(target, size);
        const InputView data(view);
        for (const auto& c : contenders_) {
            if (!c->dropped)
                c->parser->Advance(table_, data, size);
        }
    }

    // Stops the parsers whose streams are already longer than `limit` bytes;
    // false when none is left.
    bool DropOverLimit(uint64_t limit) {
        bool any = false;
        for (const auto& c : contenders_) {
            if (!c->dropped && limit < kNoLimit / 8 && c->parser->BitCount() > 8 * limit) {
                c->dropped = true;
                c->spool.reset();
            }
            any = any || !c->dropped;
        }
        return any;
    }

  private:
    std::unique_ptr<MatchFinder> tree_; // one of the two finders is used
    std::unique_ptr<ChainMatchFinder> chain_;
    CandidateTable table_;
    std::vector<std::unique_ptr<Contender>> contenders_;
    bool primed_ = false;
};

class MemorySpool : public Spool {
  public:
    void Write(const uint8_t* data, size_t size) override {
        bytes_.insert(bytes_.end(), data, data + size);
    }
    void CopyTo(Sink& out) override {
        if (!bytes_.empty())
            out.Write(bytes_.data(), bytes_.size());
    }

  private:
    std::vector<uint8_t> bytes_;
};

// The caller's sink, counted.
class CountingSink : public Sink {
  public:
    explicit CountingSink(Sink* out) : out_(out) {}
    void Write(const uint8_t* data, size_t size) override {
        out_->Write(data, size);
        count_ += size;
    }
    uint64_t count() const { return count_; }

  private:
    Sink* out_;
    uint64_t count_ = 0;
};

class MemorySource : public Source {
  public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        const size_t n = std::min(capacity, size_ - next_);
        if (n)
            std::memcpy(buffer, data_ + next_, n);
        next_ += n;
        return n;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t next_ = 0;
};

class VectorSink : public Sink {
  public:
    void Write(const uint8_t* data, size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
    }
    std::vector<uint8_t> bytes;
};

// Of `contenders`, the first with the fewest bits among those not dropped;
// null when all were.
const Contender* Shortest(std::initializer_list<const Contender*> contenders) {
    const Contender* best = nullptr;
    for (const Contender* c : contenders) {
        if (!c->dropped && (!best || c->parser->BitCount() < best->parser->BitCount()))
            best = c;
    }
    return best;
}

} // namespace

std::unique_ptr<Spool> MemorySpoolStore::NewSpool() {
    return std::make_unique<MemorySpool>();
}

StreamResult CompressStream(Source& source, Sink& sink, Mode mode, SpoolStore& spools,
                            uint64_t limit) {
    TextWindow text(&source);
    CountingSink out(&sink);
    StreamResult result;

    // Default decides from the input's size whether to run the greedy check.
    text.FillTo(kPrefix + (mode == Mode::Default ? kGreedyCheckLimit + 1 : kLookahead) + kMaxMatch);
    const bool small = text.ended() && text.input_size() <= kGreedyCheckLimit;
    if (!text.too_large() && text.ended() && text.input_size() == 0)
        return result;

    // The lanes and their parsers, as each mode runs them; a lone stream goes
    // straight to the sink.
    std::unique_ptr<Lane> chain;
    std::unique_ptr<Lane> tree;
    if (mode != Mode::Greedy)
        chain = std::make_unique<Lane>(true, kChainDepth);
    if (mode != Mode::Default || small)
        tree = std::make_unique<Lane>(false, 0);
    const Contender* greedy = nullptr;
    const Contender* fast = nullptr;
    const Contender* optimal = nullptr;
    const Contender* optimal4 = nullptr;
    switch (mode) {
    case Mode::Greedy:
        greedy = tree->Add<GreedyParser>(nullptr, &out);
        break;
    case Mode::Default:
        if (small) {
            fast = chain->Add<OptimalParser>(spools.NewSpool(), &out, 4096, 64, 1);
            greedy = tree->Add<GreedyParser>(spools.NewSpool(), &out);
        } else {
            fast = chain->Add<OptimalParser>(nullptr, &out, 4096, 64, 1);
        }
        break;
    case Mode::Best:
        fast = chain->Add<OptimalParser>(spools.NewSpool(), &out, 4096, 64, 1);
        greedy = tree->Add<GreedyParser>(spools.NewSpool(), &out);
        optimal = tree->Add<OptimalParser>(spools.NewSpool(), &out, 4096, 64, 1);
        optimal4 = tree->Add<OptimalParser>(spools.NewSpool(), &out, 4096, 64, 4);
        break;
    }
    std::vector<Lane*> lanes;
    for (Lane* lane : {chain.get(), tree.get()}) {
        if (lane)
            lanes.push_back(lane);
    }

    Lane* last = nullptr;
    for (;;) {
        if (text.too_large()) {
            result.too_large = true;
            break;
        }
        Lane* behind = nullptr;
        for (Lane* lane : lanes) {
            if (!lane->Done(text) && (!behind || lane->Slowest() < behind->Slowest()))
                behind = lane;
        }
        if (!behind)
            break;
        // A lane keeps going for a while once it has the caches; to its end
        // once the whole input is in the buffer.
        if (last && last != behind && !last->Done(text) &&
            (text.ended() || last->Slowest() < behind->Slowest() + kLaneRun))
            behind = last;
        last = behind;
        behind->Step(&text);
        bool any = false;
        for (Lane* lane : lanes)
            any = lane->DropOverLimit(limit) || any;
        if (!any) {
            result.over_limit = true;
            break;
        }
        size_t keep = SIZE_MAX;
        for (const Lane* lane : lanes)
            keep = std::min(keep, lane->Keep(text));
        text.Release(keep);
    }
    result.input_size = text.input_size();
    if (result.too_large || result.over_limit) {
        result.output_size = out.count();
        return result;
    }
    // The modes' rules for the winner, ties included, on the streams as they
    // stand before the last byte is padded (Best's parsers compare bits). A
    // dropped stream was over the limit, so it could only have won if every
    // other one was too.
    const Contender* winner = nullptr;
    switch (mode) {
    case Mode::Greedy:
        winner = greedy;
        break;
    case Mode::Default:
        winner = fast;
        if (small && !greedy->dropped && (fast->dropped || greedy->Bytes() < fast->Bytes()))
            winner = greedy;
        break;
    case Mode::Best: {
        const Contender* best = Shortest({greedy, optimal, optimal4});
        winner = fast;
        if (best && (fast->dropped || best->Bytes() <= fast->Bytes()))
            winner = best;
        break;
    }
    }
    winner->parser->Finish();
    if (winner->spool)
        winner->spool->CopyTo(out);
    result.output_size = out.count();
    return result;
}

std::vector<uint8_t> Compress(const uint8_t* data, size_t size, Mode mode) {
    if (size > kMaxInputSize)
        throw std::length_error("input too large for the stream format");
    MemorySource source(data, size);
    VectorSink sink;
    MemorySpoolStore spools;
    CompressStream(source, sink, mode, spools);
    return std::move(sink.bytes);
}

} // namespace encoder
