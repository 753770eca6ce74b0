#include <QImage>
#include <QString>
#include <cstring>
#include <new>

#include "adapters/image.h"

namespace adapters {

int LoadBgrImage(const char* path, int* width, int* height, int* stride, uint8_t** rows) {
    QImage image;
    if (path == nullptr || !image.load(QString::fromUtf8(path))) return -1;
    // RGB888 swapped to BGR: byte order B, G, R as the GL upload expects.
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    if (bgr.isNull()) return -1;
    const int w = bgr.width(), h = bgr.height();
    const int s = (w * 3 + 3) & ~3;
    uint8_t* buf = new (std::nothrow) uint8_t[static_cast<size_t>(s) * h]();
    if (buf == nullptr) return -1;
    for (int y = 0; y < h; ++y)
        std::memcpy(buf + static_cast<size_t>(y) * s, bgr.constScanLine(y),
                    static_cast<size_t>(w) * 3);
    *width = w;
    *height = h;
    *stride = s;
    *rows = buf;
    return 0;
}

int SaveBgraBottomUp(const char* path, const uint8_t* pixels, int width, int height) {
    if (path == nullptr || pixels == nullptr || width <= 0 || height <= 0) return -1;
    // Format_ARGB32 is B, G, R, A in memory on little-endian machines; the
    // alpha the GL leaves is ignored.
    QImage image(pixels, width, height, width * 4, QImage::Format_RGB32);
    return image.mirrored(false, true).save(QString::fromUtf8(path)) ? 0 : -1;
}

}  // namespace adapters
