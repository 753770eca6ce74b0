// The skinned bars and dialogs on the offscreen platform: geometry by the
// bars' formulas at several widths, the floating bar's layout per kind of
// file, the view icons following the view, every image the bars use being
// in the skin, the language and upload dialogs.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>

#include <memory>

#include "app/bars.h"
#include "app/language_change.h"
#include "app/language_dlg.h"
#include "app/messages.h"
#include "app/skin.h"
#include "app/skin_controls.h"
#include "app/strings.h"
#include "app/upload_dlg.h"
#include "support/qt_app.h"

namespace {

using namespace app;

class Bars : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(testutil::QtApplication::Get(), nullptr);
        owner = std::make_unique<QWidget>();
    }
    std::unique_ptr<QWidget> owner;  // where the bars' messages go
};

TEST_F(Bars, BottomBarFollowsTheFormulasAtEveryWidth) {
    struct Case {
        int width, n, volumeWidth;
    } cases[] = {
        {600, 70, 65}, {640, 70, 70}, {1024, 105, 105}, {1280, 105, 105}, {1920, 105, 105}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        CBottomBar bar(nullptr, owner.get());
        bar.resize(c.width, 55);
        bar.show();  // a hidden widget is laid out when it shows
        const int w = c.width, h = 55;
        EXPECT_EQ(CBottomBar::VolumeOffset(w), c.n);
        EXPECT_EQ(bar.VolumeSlider()->geometry(), QRect(w - c.n - 120, h - 32, c.volumeWidth, 25));
        EXPECT_EQ(bar.Button(kIdPlay)->geometry(), QRect((w - 35) / 2, 20, 30, 30));
        EXPECT_EQ(bar.Button(kIdStop)->geometry(), QRect((w - 55) / 2 + 52, 20, 30, 30));
        EXPECT_EQ(bar.Button(kIdMute)->geometry(), QRect(w - c.n - 150, h - 34, 30, 30));
        EXPECT_EQ(bar.Button(kIdOpen)->geometry(), QRect(w - 105, h - 35, 34, 32));
        EXPECT_EQ(bar.Button(kIdExport)->geometry(), QRect(60, h - 35, 30, 30));
        EXPECT_EQ(bar.TimeLabel()->geometry(), QRect(0, 1, 50, 14));
        EXPECT_EQ(bar.LengthLabel()->geometry(), QRect(w - 50, 1, 50, 14));
        // The frame step and the progress bar do not overlap.
        const QRect step = bar.Button(kIdForward)->geometry();
        EXPECT_EQ(step, QRect(w - 80, h - 54, 30, 13));
        EXPECT_LE(bar.ProgressSlider()->geometry().right(), step.left() - 1);
        EXPECT_EQ(bar.ProgressSlider()->geometry().left(), 50);
    }
    // 1280 wide: n = 105, the volume slider at 1055 and 105 wide.
    EXPECT_EQ(CBottomBar::VolumeOffset(1280), 105);
    EXPECT_EQ(1280 - CBottomBar::VolumeOffset(1280) - 120, 1055);
    EXPECT_EQ(CBottomBar::VolumeWidth(1280), 105);
}

TEST_F(Bars, CaptionButtonsAndViewGroupPerKindOfFile) {
    CCaptionBar bar(nullptr, owner.get());
    bar.resize(1022, 30);
    bar.show();
    const int w = 1022;
    EXPECT_EQ(bar.Button(kIdClose)->pos(), QPoint(w - 40, 0));
    EXPECT_EQ(bar.Button(kIdMaximise)->pos(), QPoint(w - 70, 0));
    EXPECT_EQ(bar.Button(kIdMinimise)->pos(), QPoint(w - 100, 0));
    EXPECT_EQ(bar.Button(kIdMenu)->pos(), QPoint(w - 130, 0));
    for (int id : {1152, 1153, 1154, 1155, 1156, 1157})
        EXPECT_TRUE(bar.Button(id)->isHidden()) << "nothing open: no view buttons " << id;
    bar.SetFileKind(kFileSingle);
    for (int id : {1152, 1154, 1155, 1156, 1157}) EXPECT_FALSE(bar.Button(id)->isHidden()) << id;
    EXPECT_TRUE(bar.Button(1153)->isHidden()) << "no sphere for a single lens";
    bar.SetFileKind(kFileDual);
    EXPECT_FALSE(bar.Button(1153)->isHidden());
    EXPECT_TRUE(bar.Button(1154)->isHidden());
    // The view shown takes the selected look; the others go back.
    bar.SetCurrentView(0);
    EXPECT_EQ(bar.Button(1153)->NormalImage(), 413);
    EXPECT_EQ(bar.Button(1152)->NormalImage(), 414);
    bar.SetCurrentView(6);
    EXPECT_EQ(bar.Button(1153)->NormalImage(), 412);
    EXPECT_EQ(bar.Button(1152)->NormalImage(), 415);
    bar.ShowRestoreImage(true);
    EXPECT_EQ(bar.Button(kIdMaximise)->NormalImage(), 344);
    EXPECT_EQ(bar.Button(kIdMaximise)->toolTip(), LoadString(kStrRestore));
}

TEST_F(Bars, FloatingBarLayoutPerKindOfFile) {
    CFloatBar bar(nullptr, owner.get());
    bar.resize(1024, 30);
    bar.show();
    const int w = 1024;
    bar.SetFile("/v/clip.mp4", false, kFileDual);
    EXPECT_EQ(bar.Button(kIdSnapshot)->pos(), QPoint(w - 40, 0));
    EXPECT_EQ(bar.Button(kIdRecord)->pos(), QPoint(w - 80, 0));
    EXPECT_FALSE(bar.Button(kIdRecord)->isHidden());
    EXPECT_EQ(bar.Button(kIdFloatMirror)->pos(), QPoint(w - 120, 0));
    EXPECT_EQ(bar.Button(kIdFloatReset)->pos(), QPoint(w - 160, 0));
    EXPECT_EQ(bar.Button(1152)->pos(), QPoint(w - 190, 0));
    EXPECT_EQ(bar.Button(1007)->pos(), QPoint(w - 250, 0));
    EXPECT_FALSE(bar.Button(1152)->isHidden());
    EXPECT_TRUE(bar.Button(1150)->isHidden());
    // A photo has no record button; mirror and reset move 40 pixels right.
    bar.SetFile("/p/photo.jpg", true, kFileSingle);
    EXPECT_TRUE(bar.Button(kIdRecord)->isHidden());
    EXPECT_EQ(bar.Button(kIdFloatMirror)->pos(), QPoint(w - 80, 0));
    EXPECT_EQ(bar.Button(kIdFloatReset)->pos(), QPoint(w - 120, 0));
    EXPECT_EQ(bar.Button(1150)->pos(), QPoint(w - 160, 0));
    EXPECT_FALSE(bar.Button(1150)->isHidden());
    EXPECT_TRUE(bar.Button(1152)->isHidden());
    // No panorama: nothing to turn.
    bar.SetFile("/p/plain.jpg", true, kFileNone);
    for (int id : std::initializer_list<int>{kIdSnapshot, kIdRecord, kIdFloatMirror, kIdFloatReset,
                                             1152, 1006, 1007, 1150, 1066, 1151})
        EXPECT_TRUE(bar.Button(id)->isHidden()) << id;
    // The mirror mark toggles with its icon.
    bar.SetFile("/v/clip.mp4", false, kFileDual);
    bar.ToggleMirror();
    EXPECT_TRUE(bar.Mirror());
    EXPECT_EQ(bar.Button(kIdFloatMirror)->NormalImage(), 431);
    bar.Reset();
    EXPECT_FALSE(bar.Mirror());
}

TEST_F(Bars, EveryImageTheBarsUseIsInTheSkin) {
    CCaptionBar caption(nullptr, owner.get());
    CBottomBar bottom(nullptr, owner.get());
    CFloatBar floating(nullptr, owner.get());
    bottom.ShowPauseImage(true);
    bottom.SetMuted(true);
    caption.ShowRestoreImage(true);
    CUploadDlg upload;
    CDlgSetLanguage language(nullptr);
    int checked = 0;
    for (QWidget* w :
         std::initializer_list<QWidget*>{&caption, &bottom, &floating, &upload, &language})
        for (CButtonEx* b : w->findChildren<CButtonEx*>())
            for (int image : b->Images()) {
                if (image == 0) continue;
                ++checked;
                EXPECT_TRUE(SkinHasImage(image, 1) && SkinHasImage(image, 2))
                    << image << " of " << b->objectName().toStdString();
            }
    EXPECT_GT(checked, 60);
    for (int view = 0; view <= 6; ++view) {
        EXPECT_TRUE(SkinHasImage(ViewIconOf(view).normal, 1)) << view;
        EXPECT_TRUE(SkinHasImage(ViewIconOf(view).selected, 1)) << view;
    }
    EXPECT_NE(ViewIconOf(1).normal, ViewIconOf(4).normal) << "the level sphere has its own icon";
    EXPECT_TRUE(SkinHasImage(183, 1) && SkinHasImage(183, 2)) << "the application icon";
}

TEST_F(Bars, LanguageDialogChangesOnlyToAnotherLanguage) {
    ApplyLanguage(kLanguageEnglish);
    QWidget window;
    window.resize(1024, 597);
    CDlgSetLanguage dialog(&window);
    std::vector<uint16_t> asked;
    int done = -99;
    dialog.m_change = [&](uint16_t language) {
        asked.push_back(language);
        return static_cast<int>(kLanguageRestarted);
    };
    dialog.m_done = [&](int result) { done = result; };
    dialog.ShowCentred();
    EXPECT_EQ(dialog.geometry(), QRect(392, 228, 240, 140));
    EXPECT_EQ(dialog.List()->currentIndex(), 0);
    EXPECT_EQ(dialog.Label()->text(), LoadString(kStrSelectLanguage));
    EXPECT_EQ(dialog.OkButton()->text(), LoadString(kStrConfirm));
    EXPECT_EQ(dialog.OkButton()->geometry().right(), 240 - 11);
    dialog.OnOk();
    EXPECT_TRUE(asked.empty()) << "the language in use changes nothing";
    EXPECT_EQ(done, kLanguageUnchanged);
    EXPECT_TRUE(dialog.isHidden());
    dialog.ShowCentred();
    dialog.List()->setCurrentIndex(1);
    dialog.OnOk();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], kLanguageChinese);
    EXPECT_EQ(done, kLanguageRestarted);
}

TEST_F(Bars, UploadDialogOpensTheChosenPageAndHides) {
    CUploadDlg dialog;
    std::vector<QUrl> opened;
    dialog.m_open = [&](const QUrl& url) {
        opened.push_back(url);
        return false;  // no browser: hidden all the same
    };
    dialog.show();
    dialog.Button(1034)->click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl("https://www.facebook.com/"));
    EXPECT_TRUE(dialog.isHidden());
    EXPECT_EQ(CUploadDlg::PageOf(1033), QUrl("https://www.youtube.com/upload"));
    EXPECT_EQ(CUploadDlg::PageOf(1035), QUrl("https://upload.youku.com/"));
    EXPECT_EQ(dialog.windowTitle(), LoadString(kStrUploadTo));
}

}  // namespace
