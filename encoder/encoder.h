// Our compressor for the payload's stream format (the inverse of decoder/).
//
// It streams: the input is pulled from a source and the stream pushed to a
// sink, through a window of a few kilobytes, so memory does not grow with the
// input. The modes that pick the shortest of several candidate streams keep
// the candidates in spools the caller provides until the end of the input.
// Bytes only: where the bytes come from and go to is the caller's business.
#ifndef GLIM_ENCODER_ENCODER_H
#define GLIM_ENCODER_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace encoder {

enum class Mode {
    Greedy,  // reference: complete binary-tree match finder, greedy parse
    Default, // fast, better than greedy
    Best,    // optimal parsing priced with the adaptive code's current lengths
};

// Largest input accepted: the stream's unpacked size is a signed 32-bit
// count, and the encoder indexes the input with 32-bit positions.
constexpr size_t kMaxInputSize = 0x7FFFFFFF - 4096;

// Where the input comes from.
class Source {
  public:
    virtual ~Source() = default;
    // Copies up to `capacity` (> 0) of the next bytes to `buffer` and returns
    // how many; 0 only once the input has ended.
    virtual size_t Read(uint8_t* buffer, size_t capacity) = 0;
};

// Where bytes go, in order.
class Sink {
  public:
    virtual ~Sink() = default;
    virtual void Write(const uint8_t* data, size_t size) = 0;
};

// One candidate stream, kept until the shortest is known: written in order,
// then, if it wins, handed whole to the sink. Dropped unread if it loses.
class Spool : public Sink {
  public:
    // Writes everything written to the spool to `out`, in order.
    virtual void CopyTo(Sink& out) = 0;
};

// Makes the spools; the caller decides where their bytes live.
class SpoolStore {
  public:
    virtual ~SpoolStore() = default;
    virtual std::unique_ptr<Spool> NewSpool() = 0;
};

// Spools in memory, for callers that hold the result in memory anyway.
class MemorySpoolStore : public SpoolStore {
  public:
    std::unique_ptr<Spool> NewSpool() override;
};

constexpr uint64_t kNoLimit = UINT64_MAX;

struct StreamResult {
    uint64_t input_size = 0;  // bytes taken from the source
    uint64_t output_size = 0; // bytes given to the sink
    // The encoder stopped before the end of the input, having given the sink
    // part of a stream at most (which the caller must throw away):
    bool over_limit = false; // no stream could come out at `limit` bytes or less
    bool too_large = false;  // the input went past kMaxInputSize
};

// Compresses everything `source` gives into a raw stream for `sink`, the same
// bytes Compress gives for the same input in the same mode. A stream is only
// wanted if it is at most `limit` bytes: once none can be, the encoder stops
// (`over_limit`). Greedy mode, and Default on inputs over 256 KiB, write to
// the sink as they go; otherwise every candidate goes to a spool of
// `spools` and the shortest is copied to the sink at the end.
StreamResult CompressStream(Source& source, Sink& sink, Mode mode, SpoolStore& spools,
                            uint64_t limit = kNoLimit);

// Compresses `size` bytes into a raw stream that decodes to exactly those bytes.
// Default never returns a stream longer than Greedy's for the same input, and
// Best none longer than Default's. Throws std::length_error when `size` exceeds kMaxInputSize.
std::vector<uint8_t> Compress(const uint8_t* data, size_t size, Mode mode = Mode::Default);

} // namespace encoder

#endif
