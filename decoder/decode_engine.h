// The decoding engine, written once over a byte source and a block sink so
// that the installer's stdio streams and the tool's callbacks run the very
// same code. Internal to decoder/.
//
// Source: `int Fetch(uint32_t stored_bytes_left)` returns the next compressed
// byte (0..255); the engine calls it only while stored_bytes_left is nonzero,
// and passes the count of stored bytes it has not taken yet. Besides,
// `const uint8_t* Buffered(size_t* count)` shows the bytes the source holds
// ready (*count may be 0) and `void Consume(size_t n)` takes n of them, the
// same as n calls of Fetch.
// Sink: `int PutBlock(const uint8_t* data, size_t size)` takes decoded bytes
// in order and returns 0 to stop the decode (a write failure the caller wants
// to report); `int GivesUp(uint64_t bytes_fed)`, asked once a block with the
// count of bytes put into the bit window so far (zero fill included), returns
// 1 to stop a stream that has run past its stored bytes. Blocks are DECODE_BLOCK bytes except the
// last one; the last one also carries the surplus of a final match that runs past the unpacked
// size, which the sink is expected to drop.
//
// Where the time goes: one adaptive-code walk and one tree update per item.
// The walk takes its bits from a 64-bit window filled once per item; its
// first eight levels come from a lookup that follows every exchange of nodes
// near the root; and it records the positions it passes so that the update
// can climb back along them without loading parent links. Once an exchange
// has moved the subtree elsewhere, the climb takes the positions above from
// the lookup as soon as it reaches one the lookup covers; the exchange search
// compares eight counts at once where it can. Items are decoded into a flat
// buffer that holds the last 4096 bytes in front of the current block, so
// matches are plain copies (eight bytes at a time when they do not overlap)
// and the sink sees whole blocks instead of single bytes.
#ifndef GLIM_DECODER_DECODE_ENGINE_H
#define GLIM_DECODER_DECODE_ENGINE_H

#include <stdint.h>
#include <string.h>

#include "decoder/code_tree.h"

#define DECODE_HISTORY CODE_RING_SIZE
#define DECODE_BLOCK 16384
// A block may be overrun by the rest of a match (up to 29 bytes) and by the
// up to 7 bytes an eight-byte copy writes beyond the match.
#define DECODE_SLACK 64

struct DecoderState {
    CodeTree tree;
    uint8_t ring[CODE_RING_SIZE]; // between streams: the ring as of the last byte
    int r;                        // ring write position
    uint64_t bit_window;          // valid bits are the most significant ones
    unsigned bit_count;           // 0..64
    uint32_t stored_left;         // compressed bytes not yet fetched
    uint64_t bytes_fed;           // bytes put into the bit window, zero fill included
};

// A lookup over the top TOP_BITS levels of the code tree: for each pattern of
// the next TOP_BITS bits, the positions the walk passes (at most TOP_BITS,
// fewer when it meets a leaf) and the child link of the last of them, so that
// a walk ending inside the table loads nothing from the tree. The tree
// changes shape only where nodes are exchanged: when an exchange touches a
// position whose link the table read, the entries whose walk passes that
// position are filled again at once. A rebuild of the tree, or a new stream,
// makes it build the whole table.
#ifndef TOP_BITS
#define TOP_BITS 8
#endif
// Knobs for measuring (bench/): the lookup on or off, its depth, and after
// how many items of a stream it starts.
#ifndef GLIM_TOP_TABLE
#define GLIM_TOP_TABLE 1
#endif
#ifndef TOP_AFTER_ITEMS
#define TOP_AFTER_ITEMS 4096
#endif
struct TopTable {
    uint16_t path[1 << TOP_BITS][TOP_BITS];
    uint8_t length[1 << TOP_BITS];
    uint16_t end_child[1 << TOP_BITS]; // child link of the last position passed
    // For each position whose link the table read: its depth (0xFF: none)
    // and the bit pattern that leads to it.
    uint8_t depth_of[CODE_TREE_NODES + 1];
    uint16_t pattern_of[CODE_TREE_NODES + 1];
    int stale; // needs a full build (new stream, or after a rebuild of the tree)
};

// The flat output of one decode: DECODE_HISTORY bytes of history, then the
// block being produced.
struct DecodeWindow {
    uint8_t bytes[DECODE_HISTORY + DECODE_BLOCK + DECODE_SLACK];
    TopTable top;
};

// Bit window and stored-byte count for a new stream.
inline void ResetBitReader(DecoderState* st, uint32_t stored_size) {
    st->bit_window = 0;
    st->bit_count = 0;
    st->stored_left = stored_size;
    st->bytes_fed = 0;
}

// Tree and ring for a new stream. Ring positions 4066..4095 are left alone:
// the installer's streams have always inherited them from the previous stream.
inline void ResetCodeAndRing(DecoderState* st) {
    InitCodeTree(&st->tree);
    memset(st->ring, ' ', CODE_INITIAL_POSITION);
    st->r = CODE_INITIAL_POSITION;
}

// Bits the items have taken so far (the window reads up to eight bytes ahead).
inline uint64_t BitsConsumed(const DecoderState* st) {
    return st->bytes_fed * 8 - st->bit_count;
}

namespace decode_detail {

// The hot loop keeps the window in locals; this is its state.
struct Bits {
    uint64_t window;
    unsigned count;
    uint32_t stored_left;
    uint64_t fed;
};

// Tops the window up to at least 57 valid bits. Past the stored bytes the
// stream reads as zero bits, and the source is never asked for a byte beyond
// the stored size; it is asked for the same bytes, in the same order and with
// the same counts of bytes left, as a reader that fetched one byte at a time.
template <class Source> inline void Refill(Bits& b, Source& source) {
    if (b.count > 56)
        return;
    // The whole bytes that fit, in one go when the source has eight bytes
    // buffered and the stream has that many left (nearly always): the same
    // bytes as one at a time, without a loop whose length varies per item.
    unsigned take = (64 - b.count) >> 3; // 1..8
    size_t buffered;
    const uint8_t* p = source.Buffered(&buffered);
    if (buffered >= 8 && b.stored_left >= 8) {
        uint64_t w = ((uint64_t)p[0] << 56) | ((uint64_t)p[1] << 48) | ((uint64_t)p[2] << 40) |
                     ((uint64_t)p[3] << 32) | ((uint64_t)p[4] << 24) | ((uint64_t)p[5] << 16) |
                     ((uint64_t)p[6] << 8) | (uint64_t)p[7];
        w &= ~(uint64_t)0 << (64 - 8 * take); // the bits below stay clear
        b.window |= w >> b.count;
        b.count += 8 * take;
        b.stored_left -= take;
        b.fed += take;
        source.Consume(take);
        return;
    }
    while (b.count <= 56) {
        uint64_t byte = 0;
        if (b.stored_left != 0) {
            byte = (uint64_t)((unsigned)source.Fetch(b.stored_left) & 0xFFu);
            b.stored_left--;
        }
        b.window |= byte << (56 - b.count);
        b.count += 8;
        b.fed++;
    }
}

// Fills the entries under the node at position `at`, reached at `depth` by
// the bit pattern `pattern`, whose walk so far passed `prefix[0..depth-1]`.
inline void FillTop(TopTable* top, const uint16_t* child, unsigned at, int depth, unsigned pattern,
                    uint16_t* prefix) {
    top->depth_of[at] = (uint8_t)depth;
    top->pattern_of[at] = (uint16_t)pattern;
    unsigned c = child[at];
    if (depth == TOP_BITS) {
        memcpy(top->path[pattern], prefix, sizeof top->path[pattern]);
        top->length[pattern] = TOP_BITS;
        top->end_child[pattern] = (uint16_t)c;
        return;
    }
    if (c >= CODE_TREE_NODES) {
        unsigned first = pattern << (TOP_BITS - depth);
        unsigned last = (pattern + 1) << (TOP_BITS - depth);
        for (unsigned e = first; e < last; e++) {
            memcpy(top->path[e], prefix, sizeof top->path[e]);
            top->length[e] = (uint8_t)depth;
            top->end_child[e] = (uint16_t)c;
        }
        return;
    }
    prefix[depth] = (uint16_t)c;
    FillTop(top, child, c, depth + 1, pattern << 1, prefix);
    prefix[depth] = (uint16_t)(c + 1);
    FillTop(top, child, c + 1, depth + 1, (pattern << 1) | 1u, prefix);
}

inline void BuildTop(TopTable* top, const uint16_t* child) {
    memset(top->depth_of, 0xFF, sizeof top->depth_of);
    uint16_t prefix[TOP_BITS] = {0};
    FillTop(top, child, CODE_TREE_ROOT, 0, 0, prefix);
    top->stale = 0;
}

// After the links at position `at` changed: fills again the entries whose
// walk passes `at`, if any does. The recorded depth and pattern may be out of
// date (the position left the top), so they are checked against the entries.
inline void PatchTop(TopTable* top, const uint16_t* child, unsigned at) {
    unsigned depth = top->depth_of[at];
    if (depth == 0 || depth > TOP_BITS) // not read by the table (the root never moves)
        return;
    unsigned pattern = top->pattern_of[at];
    const uint16_t* path = top->path[pattern << (TOP_BITS - depth)];
    if (top->length[pattern << (TOP_BITS - depth)] < depth || path[depth - 1] != at)
        return;
    uint16_t prefix[TOP_BITS];
    memcpy(prefix, path, sizeof prefix);
    FillTop(top, child, at, (int)depth, pattern, prefix);
}

// ExchangeNodes, with the lookup patched where the two positions' links changed.
inline int ExchangeAndPatch(CodeTree* t, TopTable* top, int node, uint16_t k) {
    int l = ExchangeNodes(t, node, k);
    if (GLIM_TOP_TABLE && !top->stale) {
        PatchTop(top, t->child, (unsigned)node);
        PatchTop(top, t->child, (unsigned)l);
    }
    return l;
}

// UpdateCodeTree's loop from its first exchange on, at `node`, whose count
// has just been raised. The climb follows the parent links one after the
// other only until it reaches a position the lookup knows (with `use_top`:
// the lookup follows every exchange, so its entries hold the way from the
// root down to each of its positions); from there the positions above are
// read from the entry and counted without waiting for each link, until the
// next exchange. Out of line: most items need no exchange, and the decode
// loop is quicker without this in it.
__attribute__((noinline)) inline void ClimbAfterExchange(CodeTree* t, TopTable* top, int node,
                                                         bool use_top) {
    uint16_t* counts = t->counts;
    const uint16_t* parent = t->parent;
    node = ExchangeAndPatch(t, top, node, counts[node]);
    for (;;) {
        node = parent[node];
        if (node == 0)
            return;
        if (use_top) {
            unsigned d = top->depth_of[node];
            if (d - 1u < (unsigned)TOP_BITS) { // 1..TOP_BITS
                unsigned e = (unsigned)top->pattern_of[node] << (TOP_BITS - d);
                const uint16_t* above = top->path[e];
                // The record may be out of date; the entry says.
                if (top->length[e] >= d && above[d - 1] == node) {
                    int x = (int)d - 1;
                    for (;;) {
                        uint16_t k = ++counts[node];
                        if (k > counts[node + 1])
                            break;
                        if (--x < 0) {
                            // The root: never exchanged, the sentinel is above it.
                            ++counts[CODE_TREE_ROOT];
                            return;
                        }
                        node = above[x];
                    }
                    node = ExchangeAndPatch(t, top, node, counts[node]);
                    continue;
                }
            }
        }
        uint16_t k = ++counts[node];
        if (k > counts[node + 1])
            node = ExchangeAndPatch(t, top, node, k);
    }
}

// Counts the symbol whose leaf the walk reached. `path[0..depth]` are the
// positions from the root (path[0]) down to the leaf (path[depth]). As long
// as no nodes are exchanged, each position's parent is the one before it on
// the path; after an exchange the subtree has moved and ClimbAfterExchange
// goes on. The result is UpdateCodeTree's, node for node (the tree is shared
// with the encoder, which uses UpdateCodeTree).
inline void UpdateAlongPath(CodeTree* t, TopTable* top, const uint16_t* path, int depth,
                            bool use_top) {
    if (t->counts[CODE_TREE_ROOT] == CODE_COUNT_LIMIT) {
        top->stale = 1;
        // The rebuild moves every leaf, so the path no longer applies.
        UpdateCodeTree(t, (int)t->child[path[depth]] - CODE_TREE_NODES);
        return;
    }
    uint16_t* counts = t->counts;
    int i = depth;
    int node = path[i];
    for (;;) {
        uint16_t k = ++counts[node];
        if (k > counts[node + 1]) {
            ClimbAfterExchange(t, top, node, use_top);
            return;
        }
        // UpdateCodeTree stops when the parent link it follows is 0; the
        // root's link is 0, and so would be that of a child of position 0.
        if (--i < 0)
            return;
        node = path[i];
        if (node == 0)
            return;
    }
}

} // namespace decode_detail

// Decodes items until at least `unpacked_size` bytes have been produced, or
// the sink stops. Every byte of an item goes to the sink, including the up to
// 29 bytes by which the last match may run past the end; the sink decides what
// to keep. Returns the count of bytes produced. `*stopped` is set when the
// sink refused a block. The ring in `st` is read at the start and holds the
// stream's last 4096 bytes afterwards (when the sink did not stop).
template <class Source, class Sink>
uint64_t DecodeItems(DecoderState* st, DecodeWindow* win, Source& source, Sink& sink,
                     uint32_t unpacked_size, int* stopped) {
    using decode_detail::Bits;
    *stopped = 0;
    uint8_t* const out = win->bytes;
    // The history in front of the first byte is the ring read from the write
    // position on: distance d then lies d + 1 bytes back in the flat buffer.
    for (int j = 0; j < DECODE_HISTORY; j++)
        out[j] = st->ring[(st->r + j) & (CODE_RING_SIZE - 1)];

    Bits b = {st->bit_window, st->bit_count, st->stored_left, st->bytes_fed};
    CodeTree* const tree = &st->tree;
    const uint16_t* const child = tree->child;
    uint16_t path[CODE_TREE_NODES + 1 + TOP_BITS];
    TopTable* const top = &win->top;
    top->stale = 1;
    // Early in a stream nearly every update reshapes the top of the young
    // tree, and patching the lookup costs more than it saves (measured: files
    // of a few kilobytes decoded up to 30% slower with it from the start, and
    // a 38 KB binary about 3% slower from item 2048 than from item 4096); it
    // is switched on once the counts have settled somewhat.
    uint32_t items_before_top = GLIM_TOP_TABLE ? TOP_AFTER_ITEMS : 0;
    bool use_top = false;
    uint64_t count = 0; // bytes produced, surplus included
    size_t pos = DECODE_HISTORY;
    const size_t block_end = DECODE_HISTORY + DECODE_BLOCK;

    while (count < unpacked_size) {
        decode_detail::Refill(b, source);

        // The walk: no length limit (just before a rebuild the adaptive code
        // can be longer than 16 bits, and a corrupt stream may need more than
        // the window holds).
        int depth;
        unsigned c;
        path[0] = CODE_TREE_ROOT;
        if (!use_top && items_before_top != 0 && --items_before_top == 0)
            use_top = true;
        if (use_top) {
            if (top->stale)
                decode_detail::BuildTop(top, child);
            unsigned e = (unsigned)(b.window >> (64 - TOP_BITS));
            depth = top->length[e];
            memcpy(path + 1, top->path[e], sizeof top->path[e]);
            c = top->end_child[e];
            b.window <<= depth;
            b.count -= (unsigned)depth;
        } else {
            depth = 0;
            c = child[CODE_TREE_ROOT];
        }
        while (c < CODE_TREE_NODES) {
            if (b.count == 0)
                decode_detail::Refill(b, source);
            unsigned at = c + (unsigned)(b.window >> 63);
            b.window <<= 1;
            b.count--;
            path[++depth] = (uint16_t)at;
            c = child[at];
        }
        unsigned symbol = c - CODE_TREE_NODES;
        decode_detail::UpdateAlongPath(tree, top, path, depth, use_top);

        if (symbol < 256) {
            out[pos++] = (uint8_t)symbol;
            count++;
        } else {
            // Distance: an 8-bit prefix selects the upper 6 bits and the
            // length of the whole code; the code's last 6 bits are the lower
            // 6 bits of the distance.
            if (b.count < 14)
                decode_detail::Refill(b, source);
            unsigned prefix = (unsigned)(b.window >> 56);
            unsigned used = (unsigned)DistanceCodeLength[prefix] + 6;
            unsigned low = (unsigned)(b.window >> (64 - used)) & 0x3Fu;
            b.window <<= used;
            b.count -= used;
            size_t back = (((size_t)DistanceHighBits[prefix] << 6) | low) + 1;
            unsigned n = symbol - 256 + CODE_THRESHOLD + 1;
            uint8_t* dst = out + pos;
            const uint8_t* src = dst - back;
            if (back >= 8) {
                // Each eight-byte piece reads only bytes written before it.
                for (unsigned k = 0; k < n; k += 8)
                    memcpy(dst + k, src + k, 8);
            } else {
                // Overlapping: byte by byte, each read before the next write.
                for (unsigned k = 0; k < n; k++)
                    dst[k] = src[k];
            }
            pos += n;
            count += n;
        }

        if (pos >= block_end) {
            if (sink.GivesUp(b.fed) || !sink.PutBlock(out + DECODE_HISTORY, DECODE_BLOCK)) {
                *stopped = 1;
                break;
            }
            // Slide: the last 4096 bytes of the block become the history of
            // the next one, with the part of a match that ran over behind.
            memmove(out, out + DECODE_BLOCK, pos - DECODE_BLOCK);
            pos -= DECODE_BLOCK;
        }
    }

    if (!*stopped && pos > DECODE_HISTORY &&
        !sink.PutBlock(out + DECODE_HISTORY, pos - DECODE_HISTORY))
        *stopped = 1;

    st->bit_window = b.window;
    st->bit_count = b.count;
    st->stored_left = b.stored_left;
    st->bytes_fed = b.fed;
    // The ring as the byte-by-byte engine would leave it: its write position
    // advanced by the count, and the last 4096 bytes laid out behind it.
    st->r = (int)((st->r + count) & (CODE_RING_SIZE - 1));
    for (int j = 0; j < DECODE_HISTORY; j++)
        st->ring[(st->r + j) & (CODE_RING_SIZE - 1)] = out[pos - DECODE_HISTORY + j];
    return count;
}

#endif
