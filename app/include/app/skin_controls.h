// Skinned controls: image buttons and sliders drawn from the skin.
#pragma once

#include <vector>

#include <QAbstractButton>
#include <QBasicTimer>
#include <QColor>
#include <QSlider>
#include <QWidget>

#include <functional>

namespace app {

// Click-to-position: the value at pointer x on a channel from left to right
// (floor(min + 0.5 + (x-left)/(right-left)*(max-min)), the nearest value), clamped
// to [min, max]; min when the channel has no width.
int ClickToPosition(int pointerX, int channelLeft, int channelRight, int minimum, int maximum);

// A button drawn from skin images: normal, hover, pressed and disabled, over
// an optional background strip cell or solid colour, with an optional caption.
class CButtonEx : public QAbstractButton {
  public:
    explicit CButtonEx(QWidget* parent = nullptr);
    void SetImages(int normal, int pressed);  // hover image = 132
    void SetImages(int normal, int hover, int pressed, int disabled = 0,
                   QColor background = QColor());
    // With a background strip: cell `cell` of `cellCount` equal horizontal cells (stacked
    // vertically) of image `strip`, drawn from x offset `offset` of the strip.
    void SetStrip(int strip, int cell, int cellCount, int offset);
    void SetNormalImage(int normal);  // e.g. a view icon switching to its selected look
    int NormalImage() const { return m_normal; }
    // Every image number the button draws with (0 for none).
    std::vector<int> Images() const { return {m_normal, m_hover, m_pressed, m_disabled, m_strip}; }
    void SetTextColor(const QColor& c);
    // Hover and pressed draw the hover image as a frame 3 px inside the button
    // with the normal (or pressed) image on top.
    void SetFrameMode(bool on);
    bool Hovering() const { return m_hovering; }
    // The image number the current state draws (pressed > hover > disabled >
    // normal); in frame mode the image drawn over the frame. 0 for none.
    int ImageForState() const;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    int m_normal = 0;
    int m_hover = 0;
    int m_pressed = 0;
    int m_disabled = 0;
    QColor m_background;
    int m_strip = 0;
    int m_stripCell = 0;
    int m_stripCells = 1;
    int m_stripOffset = 0;
    QColor m_textColor{255, 255, 255};
    bool m_frameMode = false;
    bool m_hovering = false;
};

// A horizontal slider moved only by the pointer (wheel and keys go to the
// parent): a press, drag and release set the value from the pointer's place
// on the channel, reporting (5, value) while it changes and (4, value) at
// release when anything changed during the press.
class CPointerSlider : public QSlider {
  public:
    explicit CPointerSlider(QWidget* parent = nullptr);
    bool Pressed() const { return m_pressed; }
    std::function<void(int code, int position)> m_notify;

  protected:
    // The channel the pointer's x maps onto.
    virtual int ChannelLeft() const { return 0; }
    virtual int ChannelRight() const { return width(); }
    // What a derived slider draws besides the value, after the value moved.
    virtual void OnPointerPress(QMouseEvent* /*event*/, int /*x*/) {}
    virtual void OnPointerDrag(int /*x*/) {}
    virtual void OnPointerRelease() {}

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // Sets the value from pointer x; reports 5 when it changed.
    void PositionFromPointer(int x);

    bool m_pressed = false;
    bool m_changed = false;
};

// The progress bar: the played part and, while the pointer is over it, the thumb.
class CSliderCtrlEx : public CPointerSlider {
  public:
    explicit CSliderCtrlEx(QWidget* parent = nullptr);
    // Played part pixel = percent * width / 100, 0 below 0, at most the width.
    void SetPercent(int percent);
    int PlayedPixel() const { return m_playedPixel; }
    bool ThumbShown() const { return m_hover; }  // hidden kThumbHideMs after the pointer leaves

    static constexpr int kThumbHideMs = 2000;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void OnPointerPress(QMouseEvent* event, int x) override;
    void OnPointerDrag(int x) override;
    void OnPointerRelease() override;

  private:
    void SetPlayedPixel(int x);

    int m_playedPixel = 0;
    bool m_draggingInside = false;
    bool m_hover = false;
    QBasicTimer m_hideTimer;
};

// The volume slider: drawn by hand, no hover thumb. Never keeps the keyboard
// focus.
class CSliderVolume : public CPointerSlider {
  public:
    explicit CSliderVolume(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    int ChannelLeft() const override;
    int ChannelRight() const override;
};

// Two thumbs bounding a range [left, right] inside [minimum, maximum], with a
// position marker; horizontal.
class CRangeSlider : public QWidget {
  public:
    explicit CRangeSlider(QWidget* parent = nullptr);
    void SetImages(int channel, int thumb, int marker);
    void SetRange(int minimum, int maximum);
    void SetValues(int left, int right);
    void SetPosition(int position);
    void SetThumbWidth(int margin);
    // Range and values as drawn: an inverted pair swapped, left and right
    // clamped into [minimum, maximum].
    int Minimum() const;
    int Maximum() const;
    int Left() const;
    int Right() const;
    int Position() const { return m_position; }
    // value <-> pixel along the width with margin m, rounded half up:
    // p = floor((L-2m)(v-min)/(max-min)+0.5+m), v = floor((max-min)(p-m)/(L-2m)+0.5+min).
    // With L <= 2m or max == min every value is at pixel m and every pixel is min.
    int ValueToPixel(int value) const;
    int PixelToValue(int pixel) const;
    // part 0 left thumb moved, 1 right thumb moved, 2 a click between the thumbs set the position.
    std::function<void(int part)> m_notify;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    enum class Drag { kNone, kLeft, kRight, kInside };
    void Normalise();
    void Notify(int part);

    int m_channel = 0;
    int m_thumb = 0;
    int m_marker = 0;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_left = 0;
    int m_right = 50;
    int m_position = 0;
    int m_margin = 0;
    Drag m_drag = Drag::kNone;
    int m_grabOffset = 0;
};

}  // namespace app
