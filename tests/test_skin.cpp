// The skin compiled into the program: every listed image present at both
// scales with the sizes the controls lay themselves out by, the pixmaps handed
// out for each screen ratio, and the background strips' cells.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>

#include <algorithm>
#include <map>
#include <set>

#include "app/skin.h"
#include "support/qt_app.h"

namespace {

using namespace app;

class Skin : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(testutil::QtApplication::Get(), nullptr); }
};

// The sizes at 1x; everything not named here is a 30x30 button image.
QSize ExpectedSize(int number) {
    static const std::map<int, QSize> sizes = {
        {186, {34, 32}},   {187, {34, 32}},  {194, {34, 32}},  {321, {30, 13}},   {322, {30, 13}},
        {323, {30, 13}},   {325, {30, 13}},  {326, {30, 13}},  {181, {26, 18}},   {182, {26, 18}},
        {191, {26, 18}},   {305, {8, 8}},    {174, {8, 8}},    {183, {256, 256}}, {314, {64, 1200}},
        {161, {64, 1200}}, {399, {120, 60}}, {450, {120, 60}}, {452, {120, 60}},  {453, {120, 60}}};
    const auto it = sizes.find(number);
    return it == sizes.end() ? QSize(30, 30) : it->second;
}

TEST_F(Skin, EveryListedImageIsCompiledInAtBothScales) {
    const std::vector<int>& numbers = SkinImageNumbers();
    ASSERT_FALSE(numbers.empty());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
    for (int n : numbers) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(SkinHasImage(n, 1));
        ASSERT_TRUE(SkinHasImage(n, 2));
        const QImage one(SkinResourcePath(n, 1));
        const QImage two(SkinResourcePath(n, 2));
        EXPECT_EQ(one.size(), ExpectedSize(n));
        EXPECT_EQ(two.size(), 2 * one.size());
    }
    // No drawing left out of the list: the resources hold exactly its numbers.
    for (const char* folder : {":/skin/1x", ":/skin/2x"}) {
        std::set<int> found;
        for (const QString& name : QDir(folder).entryList(QDir::Files))
            found.insert(name.chopped(4).toInt());
        EXPECT_EQ(found, std::set<int>(numbers.begin(), numbers.end())) << folder;
    }
}

TEST_F(Skin, PixmapsFollowTheScreenRatio) {
    const QPixmap normal = SkinPixmap(163);
    EXPECT_EQ(normal.devicePixelRatio(), 1.0);
    EXPECT_EQ(normal.size(), QSize(30, 30));
    for (qreal ratio : {1.5, 2.0, 3.0}) {
        const QPixmap sharp = SkinPixmap(163, ratio);
        EXPECT_EQ(sharp.devicePixelRatio(), 2.0) << ratio;
        EXPECT_EQ(sharp.size(), QSize(60, 60)) << ratio;
        EXPECT_EQ(sharp.deviceIndependentSize(), QSizeF(30, 30)) << ratio;
    }

    for (int missing : {0, -1, 1, 100, 999999}) {
        EXPECT_FALSE(SkinHasImage(missing, 1)) << missing;
        EXPECT_TRUE(SkinPixmap(missing).isNull()) << missing;
        EXPECT_TRUE(SkinPixmap(missing, 2.0).isNull()) << missing;
    }
}

TEST_F(Skin, PlayIsDrawnAndDiffersWhenPressed) {
    const QImage play = QImage(SkinResourcePath(163, 1)).convertToFormat(QImage::Format_ARGB32);
    const QImage pressed = QImage(SkinResourcePath(162, 1)).convertToFormat(QImage::Format_ARGB32);
    int opaque = 0;
    for (int y = 0; y < play.height(); ++y)
        for (int x = 0; x < play.width(); ++x) opaque += qAlpha(play.pixel(x, y)) > 0;
    EXPECT_GT(opaque, 30);
    EXPECT_NE(play, pressed);
}

// Every 30 px cell of both strips is the bars' gradient, light at its top and
// dark at its bottom, so any cell at any offset continues the bar.
TEST_F(Skin, StripCellsAreTheBarGradient) {
    for (int number : {314, 161}) {
        const QImage strip =
            QImage(SkinResourcePath(number, 1)).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(strip.size(), QSize(64, 40 * 30)) << number;
        for (int cell = 0; cell < 40; ++cell) {
            SCOPED_TRACE(testing::Message() << number << " cell " << cell);
            for (int x : {0, 32, 63}) {
                const QRgb top = strip.pixel(x, cell * 30);
                const QRgb bottom = strip.pixel(x, cell * 30 + 29);
                EXPECT_EQ(qAlpha(top), 255);
                EXPECT_NEAR(qGray(top), 0x20, 2);
                EXPECT_NEAR(qGray(bottom), 0x09, 2);
                for (int y = 1; y < 30; ++y)
                    ASSERT_LE(qGray(strip.pixel(x, cell * 30 + y)),
                              qGray(strip.pixel(x, cell * 30 + y - 1)));
            }
        }
    }
}

}  // namespace
