// The adaptive Huffman code of the compressed-stream format: a tree over 284
// symbols (256 literals and 28 match lengths) whose counts follow every coded
// symbol, rebuilt with halved counts when the root count reaches 0x8000.
// The decoder and the encoder update it through these same functions, which
// is what keeps them in step.
#ifndef GLIM_DECODER_CODE_TREE_H
#define GLIM_DECODER_CODE_TREE_H

#include <stdint.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#define CODE_RING_SIZE 4096
#define CODE_LONGEST_MATCH 30
#define CODE_THRESHOLD 2
#define CODE_SYMBOLS 284                       // 256 literals + 28 lengths (3..30)
#define CODE_TREE_NODES (2 * CODE_SYMBOLS - 1) // 567
#define CODE_TREE_ROOT (CODE_TREE_NODES - 1)   // 566
#define CODE_COUNT_LIMIT 0x8000
#define CODE_INITIAL_POSITION (CODE_RING_SIZE - CODE_LONGEST_MATCH) // 4066

struct CodeTree {
    uint16_t counts[CODE_TREE_NODES + 1]; // +1: the 0xFFFF sentinel
    uint16_t child[CODE_TREE_NODES];      // first child, or CODE_TREE_NODES + symbol for a leaf
    uint16_t parent[CODE_TREE_NODES + CODE_SYMBOLS]; // node -> parent; 567 + s -> leaf of s
};

void InitCodeTree(CodeTree* tree);
// Counts one occurrence of `symbol`, rebuilding first when the root count is
// at the limit.
void UpdateCodeTree(CodeTree* tree, int symbol);
void RebuildCodeTree(CodeTree* tree);

// The exchange partner of `node`, whose count has just been raised to k and
// now exceeds that of node + 1: the last position whose count is still below
// k. Counts never decrease with the position and the 0xFFFF sentinel ends
// them, so the counts below k from node + 1 on are one run, and young trees
// have runs of hundreds of equal counts. Where SSE2 is at hand (every x86-64
// build) eight counts are compared at once; otherwise a few single steps
// (most runs are short), then doubling the step and halving the interval.
static inline int FindExchangePartner(const uint16_t* counts, int node, uint16_t k) {
#if defined(__SSE2__)
    if (k <= counts[node + 2])
        return node + 1;
    {
        // Eight counts at a time: those below k are a prefix of the eight.
        // The last full group ends at the sentinel; a run that reaches
        // further is left to the scalar search below.
        const __m128i kk = _mm_set1_epi16((short)k);
        int at = node + 3;
        while (at + 8 <= CODE_TREE_NODES + 1) {
            __m128i c = _mm_loadu_si128((const __m128i*)(counts + at));
            // Unsigned c >= k exactly when k - c saturates to 0.
            __m128i at_least = _mm_cmpeq_epi16(_mm_subs_epu16(kk, c), _mm_setzero_si128());
            unsigned m = (unsigned)_mm_movemask_epi8(at_least); // two bits per count >= k
            if (m != 0)
                return at + (__builtin_ctz(m) >> 1) - 1;
            at += 8;
        }
    }
#endif
    int lo = node + 1; // counts[lo] < k
    if (k <= counts[lo + 1])
        return lo;
    if (k <= counts[lo + 2])
        return lo + 1;
    if (k <= counts[lo + 3])
        return lo + 2;
    lo += 3;
    int step = 4;
    int hi;
    for (;;) {
        hi = lo + step;
        if (hi >= CODE_TREE_NODES) {
            hi = CODE_TREE_NODES; // the sentinel
            break;
        }
        if (k <= counts[hi])
            break;
        lo = hi;
        step *= 2;
    }
    // counts[lo] < k <= counts[hi]; halve without branches (the outcome of
    // each comparison is as good as random).
    int len = hi - lo;
    while (len > 1) {
        int half = len / 2;
        lo = counts[lo + half] < k ? lo + half : lo;
        len -= half;
    }
    return lo;
}

// The exchange of UpdateCodeTree: the node at `node`, whose count has just
// been raised to k above that of node + 1, trades places with the last node
// of the run of counts below k, so that the counts stay ordered by position.
// Returns the position the node moved to.
static inline int ExchangeNodes(CodeTree* tree, int node, uint16_t k) {
    uint16_t* counts = tree->counts;
    uint16_t* child = tree->child;
    uint16_t* parent = tree->parent;
    int l = FindExchangePartner(counts, node, k);
    counts[node] = counts[l];
    counts[l] = k;
    int a = child[node];
    parent[a] = (uint16_t)l;
    if (a < CODE_TREE_NODES)
        parent[a + 1] = (uint16_t)l;
    int b = child[l];
    child[l] = (uint16_t)a;
    parent[b] = (uint16_t)node;
    if (b < CODE_TREE_NODES)
        parent[b + 1] = (uint16_t)node;
    child[node] = (uint16_t)b;
    return l;
}

// Distance prefix tables, indexed by the first 8 bits of a distance code:
// the upper 6 bits of the distance and the length of the whole code in bits.
extern const uint8_t DistanceHighBits[256];
extern const uint8_t DistanceCodeLength[256];

#endif
