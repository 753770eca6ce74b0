// Colour conversion of recorded frames: BGRA rows from the top into planar
// 4:2:0 of another size.
#include <cstdint>

extern "C" {
#include <libswscale/swscale.h>
}

#include "convert/convert_api.h"

namespace {

// One scaler per calling thread, rebuilt only when the sizes change.
struct ThreadScaler {
    SwsContext* ctx = nullptr;
    ~ThreadScaler() { sws_freeContext(ctx); }
};
thread_local ThreadScaler t_scaler;

}  // namespace

extern "C" __attribute__((visibility("default"))) int rescale_csconvert(
    const uint8_t* src, uint8_t* dst, int srcWidth, int srcHeight, int srcFormat, int dstWidth,
    int dstHeight, int reserved) {
    (void)reserved;
    if (src == nullptr || dst == nullptr || srcFormat != kConvertFormatBgra || srcWidth <= 0 ||
        srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0 || (dstWidth & 1) || (dstHeight & 1) ||
        srcWidth > 16384 || srcHeight > 16384 || dstWidth > 16384 || dstHeight > 16384) {
        return kConvertBadFrame;
    }
    t_scaler.ctx = sws_getCachedContext(t_scaler.ctx, srcWidth, srcHeight, AV_PIX_FMT_BGRA,
                                        dstWidth, dstHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                        nullptr, nullptr, nullptr);
    if (t_scaler.ctx == nullptr) return kConvertNoMemory;
    const uint8_t* srcPlanes[1] = {src};
    const int srcStrides[1] = {srcWidth * 4};
    const size_t ysz = static_cast<size_t>(dstWidth) * dstHeight;
    uint8_t* dstPlanes[3] = {dst, dst + ysz, dst + ysz + ysz / 4};
    const int dstStrides[3] = {dstWidth, dstWidth / 2, dstWidth / 2};
    const int rows =
        sws_scale(t_scaler.ctx, srcPlanes, srcStrides, 0, srcHeight, dstPlanes, dstStrides);
    return rows == dstHeight ? kConvertOk : kConvertBadFrame;
}
