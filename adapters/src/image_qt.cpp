#include <QBuffer>
#include <QByteArray>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QString>
#include <cstring>
#include <new>

#include "adapters/image.h"
#include "platform/file.h"

namespace adapters {

namespace {

// The whole encoded picture in memory, so that writing it is one checked
// transfer rather than the codec's unchecked writes to a file.
bool Encode(const uint8_t* pixels, int width, int height, const char* format, QByteArray* out) {
    // Format_RGB32 is B, G, R, A in memory on little-endian machines; the
    // alpha the GL leaves is ignored.
    const QImage image(pixels, width, height, width * 4, QImage::Format_RGB32);
    QBuffer buffer(out);
    return buffer.open(QIODevice::WriteOnly) && image.mirrored(false, true).save(&buffer, format);
}

bool WriteWhole(const char* path, const QByteArray& bytes) {
    platform::File file;
    if (file.OpenWrite(path, false) != 0) return false;
    const bool wrote = file.WriteAt(bytes.constData(), static_cast<size_t>(bytes.size()), 0);
    return file.Close() && wrote;
}

}  // namespace

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

int SaveBgraBottomUpAs(const char* path, const char* format, const uint8_t* pixels, int width,
                       int height) {
    if (path == nullptr || path[0] == '\0' || format == nullptr || pixels == nullptr ||
        width <= 0 || height <= 0)
        return -1;
    QByteArray bytes;
    if (!Encode(pixels, width, height, format, &bytes)) return -1;
    return WriteWhole(path, bytes) ? 0 : -1;
}

int SaveBgraBottomUp(const char* path, const uint8_t* pixels, int width, int height) {
    if (path == nullptr || path[0] == '\0') return -1;
    // The format by the extension, as the codecs would choose it.
    const QByteArray format = QFileInfo(QString::fromUtf8(path)).suffix().toLower().toLatin1();
    if (format.isEmpty()) return -1;
    platform::PendingFile pending;
    if (!pending.Begin(path)) return -1;
    if (SaveBgraBottomUpAs(pending.TempPath().c_str(), format.constData(), pixels, width, height) !=
        0)
        return -1;
    return pending.Commit() ? 0 : -1;
}

bool CanSaveImageFormat(const char* format) {
    if (format == nullptr || format[0] == '\0') return false;
    const QByteArray wanted = QByteArray(format).toLower();
    for (const QByteArray& f : QImageWriter::supportedImageFormats())
        if (f.toLower() == wanted) return true;
    return false;
}

}  // namespace adapters
