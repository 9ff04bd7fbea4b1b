#include "package/decode.h"

#include <exception>

#include "package/crc32.h"

namespace glimpack {
namespace {

struct SinkContext {
    const ByteSink* sink;
    uint32_t* crc;
    std::exception_ptr error;
};

int WriteDecoded(void* context, const uint8_t* data, size_t size) {
    auto* ctx = static_cast<SinkContext*>(context);
    if (ctx->crc)
        *ctx->crc = Crc32(*ctx->crc, data, size);
    if (!*ctx->sink)
        return 1;
    try {
        (*ctx->sink)(data, size);
        return 1;
    } catch (...) {
        ctx->error = std::current_exception();
        return 0;
    }
}

} // namespace

DecodeReport DecodeToSink(DecodeSourceFn source, void* source_context, uint32_t stored_size,
                          uint32_t unpacked_size, const ByteSink& sink, uint32_t* crc) {
    SinkContext ctx{&sink, crc, nullptr};
    DecodeReport report{};
    DecodeUntilExhausted(source, source_context, stored_size, WriteDecoded, &ctx, unpacked_size,
                         &report);
    if (ctx.error)
        std::rethrow_exception(ctx.error);
    return report;
}

} // namespace glimpack
