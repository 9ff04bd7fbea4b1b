// The decoder's buffered streams over the installer's own file and the output
// file, and the job that connects them for one payload record.
#include <string.h>

#include "payload/decode_job.h"

namespace {

struct InputStream {
    uint8_t buffer[DECODER_STREAM_BUFFER];
    int16_t available; // unread bytes in the buffer
    int16_t position;  // next byte to deliver
};

struct OutputStream {
    uint8_t buffer[DECODER_STREAM_BUFFER];
    int16_t fill;
    int16_t chunk_length; // the buffer is written out when fill reaches it
    int chunk_open;
    uint32_t written; // bytes written to the file since the reset
};

InputStream g_input;
OutputStream g_output;

} // namespace

void ResetInputStream(void) {
    memset(g_input.buffer, 0, sizeof g_input.buffer);
    g_input.available = 0;
    g_input.position = 0;
}

void ResetOutputStream(void) {
    g_output.chunk_open = 0;
    memset(g_output.buffer, 0, sizeof g_output.buffer);
    g_output.fill = 0;
    g_output.chunk_length = 0;
    g_output.written = 0;
}

const uint8_t* InputBuffered(size_t* count) {
    *count = g_input.available > 0 ? (size_t)g_input.available : 0;
    return g_input.buffer + g_input.position;
}

void InputConsume(size_t count) {
    g_input.position = (int16_t)(g_input.position + count);
    g_input.available = (int16_t)(g_input.available - count);
}

int ReadPtr(FILE* file, uint32_t stored_bytes_left) {
    if (g_input.available < 1) {
        // Never read past the stream: the engine passes how many of its
        // stored bytes it has not taken yet.
        size_t want =
            stored_bytes_left < DECODER_STREAM_BUFFER ? stored_bytes_left : DECODER_STREAM_BUFFER;
        size_t got = fread(g_input.buffer, 1, want, file);
        // A short read is not an error here: the bytes obtained are delivered,
        // and when none came the byte at the start of the buffer stands in.
        g_input.available = (int16_t)got;
        g_input.position = 0;
    }
    int byte = g_input.buffer[g_input.position];
    g_input.position++;
    g_input.available--;
    return byte;
}

// A chunk is the next min(16384, bytes still due) of the file.
static void OpenChunk(int32_t total) {
    if (!g_output.chunk_open) {
        uint32_t left = (uint32_t)total - g_output.written;
        g_output.chunk_length =
            (int16_t)(left < DECODER_STREAM_BUFFER ? left : DECODER_STREAM_BUFFER);
        g_output.chunk_open = 1;
    }
}

// Writes out the full chunk; a short write ends the process.
// Writes the chunk of g_output.fill bytes at `bytes` (the buffer, or the
// caller's data when a whole chunk lies there).
static void WriteChunk(FILE* file, const uint8_t* bytes) {
    size_t put = fwrite(bytes, 1, (size_t)g_output.fill, file);
    if ((int16_t)put != g_output.fill)
        FatalStop("Write error in function WritePtr()");
    g_output.written += (uint32_t)g_output.fill;
    g_output.fill = 0;
    g_output.chunk_open = 0;
}

void WritePtr(FILE* file, int byte, int32_t total) {
    // Once the declared total is in the file, further bytes are the surplus of
    // the last match and are dropped. Letting them start another chunk would
    // write them out whenever the total is smaller than the surplus.
    if (total <= 0 || g_output.written >= (uint32_t)total)
        return;
    if (g_output.fill < total) {
        g_output.buffer[g_output.fill] = (uint8_t)byte;
        g_output.fill++;
    }
    OpenChunk(total);
    if (g_output.fill < g_output.chunk_length)
        return;
    WriteChunk(file, g_output.buffer);
}

void WriteBlock(FILE* file, const uint8_t* data, size_t size, int32_t total) {
    // Exactly `size` calls of WritePtr, a chunk at a time: the same chunks
    // reach the file, and the surplus past the total is dropped the same way.
    while (size != 0) {
        if (total <= 0 || g_output.written >= (uint32_t)total)
            return;
        OpenChunk(total);
        if (g_output.fill == 0 && size >= (size_t)g_output.chunk_length) {
            // A whole chunk: written from where it is, not copied first.
            size_t whole = (size_t)g_output.chunk_length;
            g_output.fill = g_output.chunk_length;
            WriteChunk(file, data);
            data += whole;
            size -= whole;
            continue;
        }
        size_t room = (size_t)(g_output.chunk_length - g_output.fill);
        size_t take = size < room ? size : room;
        memcpy(g_output.buffer + g_output.fill, data, take);
        g_output.fill = (int16_t)(g_output.fill + (int16_t)take);
        data += take;
        size -= take;
        if (g_output.fill < g_output.chunk_length)
            return;
        WriteChunk(file, g_output.buffer);
    }
}

void FatalStop(const char* message) {
    // The installer shows nothing here and always ends with exit code 0; the
    // normal exit still flushes and closes the open streams.
    (void)message;
    PlatExitProcess(0);
}
