// The adaptive Huffman code of the compressed-stream format: a tree over 284
// symbols (256 literals and 28 match lengths) whose counts follow every coded
// symbol, rebuilt with halved counts when the root count reaches 0x8000.
// The decoder and the encoder update it through these same functions, which
// is what keeps them in step.
#ifndef GLIM_DECODER_CODE_TREE_H
#define GLIM_DECODER_CODE_TREE_H

#include <stdint.h>

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

// Distance prefix tables, indexed by the first 8 bits of a distance code:
// the upper 6 bits of the distance and the length of the whole code in bits.
extern const uint8_t DistanceHighBits[256];
extern const uint8_t DistanceCodeLength[256];

#endif
