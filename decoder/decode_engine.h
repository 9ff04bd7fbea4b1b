// The decoding engine, written once over a byte source and a byte sink so that
// the installer's stdio streams and the tool's callbacks run the very same
// code. Internal to decoder/.
//
// Source: `int Fetch(uint32_t stored_bytes_left)` returns the next compressed
// byte (0..255); the engine calls it only while stored_bytes_left is nonzero.
// Sink: `int Put(int byte)` takes one decoded byte and returns 0 to stop the
// decode (a write failure the caller wants to report).
#ifndef GLIM_DECODER_DECODE_ENGINE_H
#define GLIM_DECODER_DECODE_ENGINE_H

#include <stdint.h>
#include <string.h>

#include "decoder/code_tree.h"

struct DecoderState {
    CodeTree tree;
    uint8_t ring[CODE_RING_SIZE];
    int r;                // ring write position
    uint16_t bit_buffer;  // valid bits are the most significant ones
    uint8_t bit_count;    // 0..16
    uint32_t stored_left; // compressed bytes not yet fetched
    uint64_t bytes_fed;   // bytes put into the bit buffer, zero fill included
};

// Bit buffer and stored-byte count for a new stream.
inline void ResetBitReader(DecoderState* st, uint32_t stored_size) {
    st->bit_buffer = 0;
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

// Bits the items have taken so far (the refill reads up to two bytes ahead).
inline uint64_t BitsConsumed(const DecoderState* st) {
    return st->bytes_fed * 8 - st->bit_count;
}

// Keeps at least 9 valid bits. Past the stored bytes the stream reads as zero
// bits, and the source is never asked for a byte beyond the stored size.
template <class Source> inline void RefillBits(DecoderState* st, Source& source) {
    while (st->bit_count <= 8) {
        unsigned byte = 0;
        if (st->stored_left != 0) {
            byte = (unsigned)source.Fetch(st->stored_left) & 0xFFu;
            st->stored_left--;
        }
        st->bit_buffer = (uint16_t)(st->bit_buffer | (byte << (8 - st->bit_count)));
        st->bit_count = (uint8_t)(st->bit_count + 8);
        st->bytes_fed++;
    }
}

template <class Source> inline int ReadBit(DecoderState* st, Source& source) {
    RefillBits(st, source);
    int bit = st->bit_buffer >> 15;
    st->bit_buffer = (uint16_t)(st->bit_buffer << 1);
    st->bit_count--;
    return bit;
}

template <class Source> inline int ReadEightBits(DecoderState* st, Source& source) {
    RefillBits(st, source);
    int bits = st->bit_buffer >> 8;
    st->bit_buffer = (uint16_t)(st->bit_buffer << 8);
    st->bit_count = (uint8_t)(st->bit_count - 8);
    return bits;
}

// Walks from the root to a leaf one bit at a time. The walk has no length
// limit: just before a rebuild the adaptive code can be longer than 16 bits.
template <class Source> inline int DecodeSymbol(DecoderState* st, Source& source) {
    unsigned node = st->tree.child[CODE_TREE_ROOT];
    while (node < CODE_TREE_NODES)
        node = st->tree.child[node + (unsigned)ReadBit(st, source)];
    int symbol = (int)(node - CODE_TREE_NODES);
    UpdateCodeTree(&st->tree, symbol);
    return symbol;
}

template <class Source> inline int DecodeDistance(DecoderState* st, Source& source) {
    unsigned v = (unsigned)ReadEightBits(st, source);
    unsigned high = DistanceHighBits[v];
    int extra = DistanceCodeLength[v] - 2;
    while (extra-- > 0)
        v = (v << 1) + (unsigned)ReadBit(st, source);
    return (int)((high << 6) | (v & 0x3F));
}

// Decodes items until at least `unpacked_size` bytes have been produced, or
// the sink stops. Every byte of an item goes to the sink, including the up to
// 29 bytes by which the last match may run past the end; the sink decides what
// to keep. Returns the count of bytes produced. `*stopped` is set when the
// sink refused a byte.
template <class Source, class Sink>
uint64_t DecodeItems(DecoderState* st, Source& source, Sink& sink, uint32_t unpacked_size,
                     int* stopped) {
    uint64_t count = 0;
    *stopped = 0;
    while (count < unpacked_size) {
        int s = DecodeSymbol(st, source);
        if (s < 256) {
            st->ring[st->r] = (uint8_t)s;
            st->r = (st->r + 1) & (CODE_RING_SIZE - 1);
            count++;
            if (!sink.Put(s)) {
                *stopped = 1;
                break;
            }
        } else {
            int d = DecodeDistance(st, source);
            int from = (st->r - d - 1) & (CODE_RING_SIZE - 1);
            int n = s - 255 + CODE_THRESHOLD;
            // Byte by byte, each read before the next write, so a match may
            // overlap the bytes it produces.
            for (int k = 0; k < n; k++) {
                uint8_t b = st->ring[(from + k) & (CODE_RING_SIZE - 1)];
                st->ring[st->r] = b;
                st->r = (st->r + 1) & (CODE_RING_SIZE - 1);
                if (!sink.Put(b)) {
                    *stopped = 1;
                    return count + (uint64_t)k + 1;
                }
            }
            count += (uint64_t)n;
        }
    }
    return count;
}

#endif
