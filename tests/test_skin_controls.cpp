// The skinned buttons and sliders on Qt's offscreen platform, driven by
// synthetic pointer events: the values and notifications they report, the
// button's image per state, the guards of their arithmetic.
#include <gtest/gtest.h>

#include <memory>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QThread>

#include <initializer_list>
#include <utility>
#include <vector>

#include "app/skin_controls.h"
#include "support/qt_app.h"

namespace {

using namespace app;
using Reports = std::vector<std::pair<int, int>>;

void Send(QWidget* w, QEvent::Type type, int x, Qt::MouseButton button = Qt::LeftButton) {
    const QPointF local(x, 5);
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    const Qt::MouseButton changed = type == QEvent::MouseMove ? Qt::NoButton : button;
    QMouseEvent event(type, local, local, changed, held, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &event);
}

void Press(QWidget* w, int x) {
    Send(w, QEvent::MouseButtonPress, x);
}
void Move(QWidget* w, int x) {
    Send(w, QEvent::MouseMove, x);
}
void Release(QWidget* w, int x) {
    Send(w, QEvent::MouseButtonRelease, x);
}
void Enter(QWidget* w) {
    QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(w, &event);
}
void Leave(QWidget* w) {
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(w, &event);
}

class SkinControls : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(testutil::QtApplication::Get(), nullptr); }
};

TEST(ClickToPosition, MapsTheChannelAndClampsToTheRange) {
    EXPECT_EQ(ClickToPosition(100, 0, 200, 0, 100), 50);
    EXPECT_EQ(ClickToPosition(100, 0, 300, 0, 100), 33);  // rounded to the nearest
    EXPECT_EQ(ClickToPosition(101, 0, 300, 0, 100), 34);
    EXPECT_EQ(ClickToPosition(100, 0, 300, -100, 0), -67);
    EXPECT_EQ(ClickToPosition(0, 0, 200, 0, 100), 0);
    EXPECT_EQ(ClickToPosition(200, 0, 200, 0, 100), 100);
    EXPECT_EQ(ClickToPosition(57, 7, 89, 0, 80), 49);  // offset channel, another range
    EXPECT_EQ(ClickToPosition(-500, 0, 200, 0, 100), 0);
    EXPECT_EQ(ClickToPosition(100000, 0, 200, 0, 100), 100);
    EXPECT_EQ(ClickToPosition(-3, 0, 200, 10, 20), 10);
    EXPECT_EQ(ClickToPosition(400, 0, 200, -20, -10), -10);
    // A channel with no width (or inverted) gives the minimum, no division by zero.
    EXPECT_EQ(ClickToPosition(50, 30, 30, 5, 100), 5);
    EXPECT_EQ(ClickToPosition(50, 40, 30, 5, 100), 5);
}

TEST_F(SkinControls, ProgressPercentSetsThePlayedPixelWithinTheWidth) {
    CSliderCtrlEx slider;
    slider.resize(200, 14);
    slider.SetPercent(50);
    EXPECT_EQ(slider.PlayedPixel(), 100);
    slider.SetPercent(-5);
    EXPECT_EQ(slider.PlayedPixel(), 0);
    slider.SetPercent(150);
    EXPECT_EQ(slider.PlayedPixel(), 200);
}

TEST_F(SkinControls, ProgressDragReportsTrackingThenOneFinalPosition) {
    CSliderCtrlEx slider;
    slider.resize(200, 14);
    slider.setRange(0, 100);
    Reports reports;
    slider.m_notify = [&](int code, int position) { reports.emplace_back(code, position); };

    Press(&slider, 50);
    EXPECT_TRUE(slider.Pressed());
    EXPECT_EQ(slider.PlayedPixel(), 50);
    Move(&slider, 100);
    Move(&slider, 100);  // no change, no report
    Move(&slider, -40);
    Move(&slider, 900);
    EXPECT_EQ(slider.PlayedPixel(), 200);  // follows the pointer, clamped to the bar
    Release(&slider, 900);
    EXPECT_FALSE(slider.Pressed());
    EXPECT_EQ(reports, (Reports{{5, 25}, {5, 50}, {5, 0}, {5, 100}, {4, 100}}));
    EXPECT_EQ(slider.value(), 100);

    // A press that changes nothing reports nothing, not even at release.
    reports.clear();
    Press(&slider, 200);
    Release(&slider, 200);
    EXPECT_TRUE(reports.empty());
}

TEST_F(SkinControls, ProgressThumbHidesTwoSecondsAfterLeave) {
    CSliderCtrlEx slider;
    slider.resize(200, 14);
    EXPECT_FALSE(slider.ThumbShown());
    Enter(&slider);
    EXPECT_TRUE(slider.ThumbShown());
    Leave(&slider);
    QElapsedTimer clock;
    clock.start();
    while (slider.ThumbShown() && clock.elapsed() < CSliderCtrlEx::kThumbHideMs + 1500) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    EXPECT_FALSE(slider.ThumbShown());
    EXPECT_GE(clock.elapsed(), CSliderCtrlEx::kThumbHideMs - 100);
}

TEST_F(SkinControls, VolumeDragStaysInRangeOnItsChannel) {
    CSliderVolume volume;
    volume.resize(100, 25);  // channel 7..89
    volume.setRange(0, 80);
    volume.setValue(50);
    Reports reports;
    volume.m_notify = [&](int code, int position) { reports.emplace_back(code, position); };
    Press(&volume, 0);
    Move(&volume, 48);
    Release(&volume, 500);
    EXPECT_EQ(reports, (Reports{{5, 0}, {5, 40}, {5, 80}, {4, 80}}));

    // No channel at all: the minimum, no division by zero.
    reports.clear();
    volume.resize(10, 25);
    Press(&volume, 5);
    Release(&volume, 5);
    EXPECT_EQ(reports, (Reports{{5, 0}, {4, 0}}));
}

// Width 120 and margin 10 leave 100 pixels for 0..100: pixel = value + 10.
class RangeSlider : public SkinControls {
  protected:
    void SetUp() override {
        SkinControls::SetUp();
        slider_ = std::make_unique<CRangeSlider>();  // widgets only after the application
        slider_->resize(120, 20);
        slider_->SetThumbWidth(10);
        slider_->SetRange(0, 100);
        slider_->SetValues(20, 50);
        slider_->m_notify = [this](int part) { parts_.push_back(part); };
    }
    std::unique_ptr<CRangeSlider> slider_;
    std::vector<int> parts_;
};

TEST_F(RangeSlider, LeftThumbStopsOneBeforeTheRightValue) {
    Press(slider_.get(), 25);  // on the left thumb, 5 px before its value
    EXPECT_TRUE(parts_.empty());
    Move(slider_.get(), 40);  // keeps the grab offset: pixel 45, value 35
    EXPECT_EQ(slider_->Left(), 35);
    Move(slider_.get(), 300);
    EXPECT_EQ(slider_->Left(), 49);
    Move(slider_.get(), -300);
    EXPECT_EQ(slider_->Left(), 0);
    Release(slider_.get(), -300);
    EXPECT_EQ(parts_, (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(slider_->Right(), 50);
}

TEST_F(RangeSlider, RightThumbStopsOneAfterTheLeftValue) {
    Press(slider_.get(), 65);
    Move(slider_.get(), -300);
    EXPECT_EQ(slider_->Right(), 21);
    Move(slider_.get(), 300);
    EXPECT_EQ(slider_->Right(), 100);
    Release(slider_.get(), 300);
    EXPECT_EQ(parts_, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(slider_->Left(), 20);
}

TEST_F(RangeSlider, ClickBetweenThumbsSetsTheClampedPositionOnRelease) {
    Press(slider_.get(), 40);
    Move(slider_.get(), 45);
    EXPECT_TRUE(parts_.empty());
    Release(slider_.get(), 45);
    EXPECT_EQ(parts_, std::vector<int>{2});
    EXPECT_EQ(slider_->Position(), 35);
    EXPECT_EQ(slider_->Left(), 20);
    EXPECT_EQ(slider_->Right(), 50);

    // Released beyond either thumb: the nearest end of the range.
    Press(slider_.get(), 40);
    Release(slider_.get(), 500);
    EXPECT_EQ(slider_->Position(), 50);
    Press(slider_.get(), 40);
    Release(slider_.get(), -500);
    EXPECT_EQ(slider_->Position(), 20);

    // Outside both thumbs nothing happens.
    parts_.clear();
    Press(slider_.get(), 100);
    Release(slider_.get(), 100);
    EXPECT_TRUE(parts_.empty());
    EXPECT_EQ(slider_->Position(), 20);
}

TEST_F(RangeSlider, InvertedRangeAndValuesAreSwappedAndClamped) {
    slider_->SetRange(100, 0);
    slider_->SetValues(80, 20);
    EXPECT_EQ(slider_->Minimum(), 0);
    EXPECT_EQ(slider_->Maximum(), 100);
    EXPECT_EQ(slider_->Left(), 20);
    EXPECT_EQ(slider_->Right(), 80);
    slider_->SetValues(-10, 500);
    EXPECT_EQ(slider_->Left(), 0);
    EXPECT_EQ(slider_->Right(), 100);
}

TEST_F(RangeSlider, PixelsAndValuesRoundTripAndDegenerateSizesAreSafe) {
    slider_->resize(220, 20);  // 200 px for 0..100
    for (int v = 0; v <= 100; ++v) EXPECT_EQ(slider_->PixelToValue(slider_->ValueToPixel(v)), v);
    EXPECT_EQ(slider_->ValueToPixel(0), 10);
    EXPECT_EQ(slider_->ValueToPixel(100), 210);
    slider_->SetRange(-50, 50);
    for (int v = -50; v <= 50; ++v) EXPECT_EQ(slider_->PixelToValue(slider_->ValueToPixel(v)), v);

    // No room between the margins, then an empty range: no division by zero.
    slider_->resize(20, 20);
    EXPECT_EQ(slider_->ValueToPixel(30), 10);
    EXPECT_EQ(slider_->PixelToValue(15), -50);
    slider_->resize(220, 20);
    slider_->SetRange(7, 7);
    EXPECT_EQ(slider_->ValueToPixel(7), 10);
    EXPECT_EQ(slider_->PixelToValue(100), 7);
    Press(slider_.get(), 10);
    Move(slider_.get(), 200);
    Release(slider_.get(), 200);
    EXPECT_EQ(slider_->Left(), 7);
    EXPECT_EQ(slider_->Right(), 7);
}

TEST_F(SkinControls, ButtonImagePerState) {
    CButtonEx button;
    button.resize(30, 30);
    button.SetImages(10, 11, 12, 13);
    EXPECT_EQ(button.ImageForState(), 10);
    button.setEnabled(false);
    EXPECT_EQ(button.ImageForState(), 13);
    Enter(&button);
    EXPECT_TRUE(button.Hovering());
    EXPECT_EQ(button.ImageForState(), 11);  // hover goes before disabled
    button.setEnabled(true);
    button.setDown(true);
    EXPECT_EQ(button.ImageForState(), 12);
    Leave(&button);
    EXPECT_FALSE(button.Hovering());
    EXPECT_EQ(button.ImageForState(), 12);
    button.setDown(false);
    EXPECT_EQ(button.ImageForState(), 10);

    // Missing images fall through to the next state; the short form hovers with 132.
    button.SetImages(20, 0, 0);
    button.setDown(true);
    Enter(&button);
    EXPECT_EQ(button.ImageForState(), 20);
    button.SetImages(20, 22);
    EXPECT_EQ(button.ImageForState(), 22);
    button.setDown(false);
    EXPECT_EQ(button.ImageForState(), 132);

    // Frame mode: the hover image is the frame, the normal image stays on top.
    button.SetFrameMode(true);
    EXPECT_EQ(button.ImageForState(), 20);
    button.SetNormalImage(25);
    EXPECT_EQ(button.NormalImage(), 25);
    EXPECT_EQ(button.ImageForState(), 25);
}

TEST_F(SkinControls, ButtonDoubleClickCountsAsSecondClick) {
    CButtonEx button;
    button.resize(30, 30);
    int clicks = 0;
    QObject::connect(&button, &QAbstractButton::clicked, [&clicks] { ++clicks; });
    Press(&button, 10);
    Release(&button, 10);
    Send(&button, QEvent::MouseButtonDblClick, 10);
    Release(&button, 10);
    EXPECT_EQ(clicks, 2);
}

// Drawing with or without skin images, at sizes down to nothing, in every state.
TEST_F(SkinControls, PaintAtAnySize) {
    CButtonEx button;
    button.SetImages(129, 158);
    button.SetStrip(161, 5, 40, 0);
    button.setText("A");
    CSliderCtrlEx progress;
    progress.SetPercent(100);
    CSliderVolume volume;
    volume.setRange(0, 80);
    volume.setValue(80);
    volume.setTickPosition(QSlider::TicksBelow);
    CRangeSlider range;
    range.SetImages(161, 305, 181);
    range.SetThumbWidth(10);
    range.SetPosition(50);
    for (const QSize size : {QSize(0, 0), QSize(1, 1), QSize(15, 25), QSize(300, 30)}) {
        for (QWidget* w : std::initializer_list<QWidget*>{&button, &progress, &volume, &range}) {
            w->resize(size);
            Enter(w);
            Press(w, size.width() / 2);
            EXPECT_FALSE(w->grab().isNull() && !size.isEmpty());
            Release(w, size.width() / 2);
            Leave(w);
            w->grab();
        }
    }
}

}  // namespace
