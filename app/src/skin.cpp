#include "app/skin.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>

#include <utility>

namespace app {
namespace {

// Decoded renderings by (number, scale), null ones included. The skin is a small
// fixed set, and its 2x strips alone exceed QPixmapCache's default limit, so
// everything stays decoded. GUI thread only, like QPixmap itself; emptied when
// the application object goes, since pixmaps must not outlive it.
using Cache = QHash<std::pair<int, int>, QPixmap>;

Cache& PixmapCache() {
    static Cache cache;
    return cache;
}

bool& CleanupRegistered() {
    static bool registered = false;
    return registered;
}

void ClearPixmapCache() {
    PixmapCache().clear();
    CleanupRegistered() = false;
}

const QPixmap& CachedRendering(int number, int scale) {
    Cache& cache = PixmapCache();
    const auto key = std::make_pair(number, scale);
    auto it = cache.find(key);
    if (it == cache.end()) {
        if (!CleanupRegistered()) {
            qAddPostRoutine(ClearPixmapCache);
            CleanupRegistered() = true;
        }
        QPixmap pixmap(SkinResourcePath(number, scale));
        if (!pixmap.isNull()) pixmap.setDevicePixelRatio(scale);
        it = cache.insert(key, pixmap);
    }
    return *it;
}

}  // namespace

QString SkinResourcePath(int number, int scale) {
    return QString(":/skin/%1x/%2.png").arg(scale).arg(number);
}

bool SkinHasImage(int number, int scale) {
    return QFile::exists(SkinResourcePath(number, scale));
}

QPixmap SkinPixmap(int number, qreal devicePixelRatio) {
    // Above 1.0 the 2x rendering, scaled down by Qt where the ratio is between;
    // the 1x one when an image has no 2x rendering.
    if (devicePixelRatio > 1.0) {
        const QPixmap& sharp = CachedRendering(number, 2);
        if (!sharp.isNull()) return sharp;
    }
    return CachedRendering(number, 1);
}

const std::vector<int>& SkinImageNumbers() {
    // One per drawing in res/skin/; the tests hold the two lists together.
    static const std::vector<int> numbers = {
        129, 131, 132, 147, 158, 159, 161, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172,
        173, 174, 176, 180, 181, 182, 183, 186, 187, 190, 191, 194, 305, 314, 321, 322, 323, 325,
        326, 344, 397, 398, 399, 412, 413, 414, 415, 416, 417, 418, 419, 420, 421, 422, 423, 424,
        425, 430, 431, 432, 433, 450, 452, 453, 456, 459, 460, 461, 462, 467, 468, 471, 473};
    return numbers;
}

}  // namespace app
