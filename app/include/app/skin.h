// The skin: the interface's images, drawn as SVG in res/skin/, rendered to
// PNG at build time at 1x and 2x and compiled into the program. Looked up by
// number; no skin file is read from disk at run time.
#pragma once

#include <QPixmap>
#include <QString>

#include <vector>

namespace app {

// The image `number` for a screen of the given device pixel ratio (the 2x
// rendering with devicePixelRatio 2 above 1.0). A null pixmap when the
// number has no image; drawing code then skips it.
QPixmap SkinPixmap(int number, qreal devicePixelRatio = 1.0);
// The resource path of one rendering (scale 1 or 2), ":/skin/1x/163.png".
QString SkinResourcePath(int number, int scale);
// Whether the rendering exists.
bool SkinHasImage(int number, int scale);
// The numbers of every image of the skin, ascending.
const std::vector<int>& SkinImageNumbers();

}  // namespace app
