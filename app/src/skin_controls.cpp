#include "app/skin_controls.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTimerEvent>
#include <QWheelEvent>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "app/skin.h"

namespace app {

namespace {

constexpr int kHoverImage = 132;
constexpr int kProgressThumb = 181;
constexpr int kVolumeStrip = 161;
constexpr int kVolumeStripCell = 7;
constexpr int kVolumeStripCells = 40;
constexpr int kVolumeThumb = 305;

const QColor kGroove = QColor::fromRgba(0xFF31373Du);
const QColor kPlayed = QColor::fromRgba(0xFF0D55E7u);

// floor(v) as an int, saturating instead of overflowing.
int FloorToInt(double v) {
    if (!(v > static_cast<double>(INT_MIN))) return INT_MIN;
    if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(std::floor(v));
}

int PointerX(const QMouseEvent* event) {
    return FloorToInt(event->position().x());
}

// Cell `cell` of `cells` equal rows of `pixmap`, in the pixmap's own pixels.
QRectF CellSource(const QPixmap& pixmap, int cell, int cells) {
    const qreal h = pixmap.height() / static_cast<qreal>(std::max(cells, 1));
    return QRectF(0, h * cell, pixmap.width(), h);
}

// Sets the slider's value; reports (5, value) when it changed.
bool MoveSlider(QSlider* slider, int value, const std::function<void(int, int)>& notify) {
    if (value == slider->value()) return false;
    slider->setValue(value);
    if (notify) notify(5, slider->value());
    return true;
}

}  // namespace

int ClickToPosition(int pointerX, int channelLeft, int channelRight, int minimum, int maximum) {
    const int lo = std::min(minimum, maximum);
    const int hi = std::max(minimum, maximum);
    if (channelRight <= channelLeft) return minimum;
    const double x = (static_cast<double>(pointerX) - channelLeft) /
                     (static_cast<double>(channelRight) - channelLeft);
    // Rounded half up; floor rather than trunc so that negative ranges round alike.
    const double v = std::floor(minimum + 0.5 + x * (static_cast<double>(maximum) - minimum));
    return static_cast<int>(std::clamp(v, static_cast<double>(lo), static_cast<double>(hi)));
}

// ------------------------------------------------------------------ button

CButtonEx::CButtonEx(QWidget* parent) : QAbstractButton(parent) {
    QFont f(QStringLiteral("Fixedsys Excelsior"));
    f.setStyleHint(QFont::Monospace);
    f.setPixelSize(15);
    f.setWeight(QFont::Normal);
    setFont(f);
}

void CButtonEx::SetImages(int normal, int pressed) {
    SetImages(normal, kHoverImage, pressed, m_disabled, m_background);
}

void CButtonEx::SetImages(int normal, int hover, int pressed, int disabled, QColor background) {
    m_normal = normal;
    m_hover = hover;
    m_pressed = pressed;
    m_disabled = disabled;
    m_background = background;
    updateGeometry();
    update();
}

void CButtonEx::SetStrip(int strip, int cell, int cellCount, int offset) {
    m_strip = strip;
    m_stripCells = std::max(cellCount, 1);
    m_stripCell = std::clamp(cell, 0, m_stripCells - 1);
    m_stripOffset = std::max(offset, 0);
    update();
}

void CButtonEx::SetNormalImage(int normal) {
    if (normal == m_normal) return;
    m_normal = normal;
    updateGeometry();
    update();
}

void CButtonEx::SetTextColor(const QColor& c) {
    m_textColor = c;
    update();
}

void CButtonEx::SetFrameMode(bool on) {
    m_frameMode = on;
    update();
}

int CButtonEx::ImageForState() const {
    const bool down = isDown();
    // The frame is the hover image; the normal or pressed image sits on it.
    if (m_frameMode && (down || m_hovering)) return down && m_pressed ? m_pressed : m_normal;
    if (down && m_pressed) return m_pressed;
    if (m_hovering && m_hover) return m_hover;
    if (!isEnabled() && m_disabled) return m_disabled;
    return m_normal;
}

QSize CButtonEx::sizeHint() const {
    const QPixmap normal = SkinPixmap(m_normal, devicePixelRatioF());
    if (!normal.isNull()) return normal.deviceIndependentSize().toSize();
    if (!text().isEmpty()) return fontMetrics().size(Qt::TextSingleLine, text()) + QSize(8, 4);
    return QSize(16, 16);
}

void CButtonEx::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    const qreal dpr = devicePixelRatioF();
    p.fillRect(r, QColor(1, 0, 0));
    const QPixmap strip = m_strip ? SkinPixmap(m_strip, dpr) : QPixmap();
    if (!strip.isNull()) {
        // The cell from the offset on, repeated across the button: the strip
        // is a narrow tile of the bar's background.
        const qreal scale = strip.devicePixelRatio();
        const int stripWidth = static_cast<int>(strip.width() / scale);
        if (stripWidth > 0) {
            const QRectF cell = CellSource(strip, m_stripCell, m_stripCells);
            int x = 0;
            int from = m_stripOffset % stripWidth;
            while (x < r.width()) {
                const int w = std::min(r.width() - x, stripWidth - from);
                QRectF source = cell;
                source.setX(from * scale);
                source.setWidth(w * scale);
                p.drawPixmap(QRectF(x, 0, w, r.height()), strip, source);
                x += w;
                from = 0;
            }
        }
    } else if (m_background.isValid()) {
        p.fillRect(r, m_background);
    }

    if (m_frameMode && (isDown() || m_hovering)) {
        const QPixmap frame = SkinPixmap(m_hover, dpr);
        if (!frame.isNull()) p.drawPixmap(r.adjusted(3, 3, -3, -3), frame);
    }
    const QPixmap image = SkinPixmap(ImageForState(), dpr);
    if (!image.isNull()) {
        // Centred; an image larger than the button starts at its edge.
        const QSizeF s = image.deviceIndependentSize();
        const qreal x = std::max<qreal>(0, (r.width() - s.width()) / 2);
        const qreal y = std::max<qreal>(0, (r.height() - s.height()) / 2);
        p.drawPixmap(QPointF(std::floor(x), std::floor(y)), image);
    }

    if (!text().isEmpty()) {
        p.setPen(isEnabled() ? m_textColor : QColor(211, 211, 211));
        p.setFont(font());
        p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, text());
    }
}

void CButtonEx::enterEvent(QEnterEvent* event) {
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CButtonEx::leaveEvent(QEvent* event) {
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CButtonEx::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a fast double click still counts as a click.
    QAbstractButton::mousePressEvent(event);
}

// ------------------------------------------------------------ pointer slider

CPointerSlider::CPointerSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

void CPointerSlider::PositionFromPointer(int x) {
    const int v = ClickToPosition(x, ChannelLeft(), ChannelRight(), minimum(), maximum());
    if (MoveSlider(this, v, m_notify)) m_changed = true;
}

void CPointerSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const int x = PointerX(event);
    m_pressed = true;
    m_changed = false;
    setSliderDown(true);
    PositionFromPointer(x);
    OnPointerPress(event, x);
    event->accept();
}

void CPointerSlider::mouseMoveEvent(QMouseEvent* event) {
    if (!m_pressed) return;
    const int x = PointerX(event);
    PositionFromPointer(x);
    OnPointerDrag(x);
}

void CPointerSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_pressed) {
        event->ignore();
        return;
    }
    PositionFromPointer(PointerX(event));
    m_pressed = false;
    OnPointerRelease();
    setSliderDown(false);
    if (m_changed && m_notify) m_notify(4, value());
    m_changed = false;
}

// The position changes only by the pointer or the owner; wheel and keys go to the parent.
void CPointerSlider::wheelEvent(QWheelEvent* event) {
    event->ignore();
}

void CPointerSlider::keyPressEvent(QKeyEvent* event) {
    event->ignore();
}

// ------------------------------------------------------------------ progress

CSliderCtrlEx::CSliderCtrlEx(QWidget* parent) : CPointerSlider(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CSliderCtrlEx::SetPercent(int percent) {
    const int w = std::max(width(), 0);
    const int pixel =
        percent < 0 ? 0 : static_cast<int>(std::min<int64_t>(int64_t{percent} * w / 100, w));
    if (pixel == m_playedPixel) return;
    m_playedPixel = pixel;
    update();
}

void CSliderCtrlEx::SetPlayedPixel(int x) {
    const int pixel = std::clamp(x, 0, std::max(width(), 0));
    if (pixel == m_playedPixel) return;
    m_playedPixel = pixel;
    update();
}

void CSliderCtrlEx::OnPointerPress(QMouseEvent* event, int x) {
    m_draggingInside = rect().contains(event->position().toPoint());
    SetPlayedPixel(x);
}

void CSliderCtrlEx::OnPointerDrag(int x) {
    if (m_draggingInside) SetPlayedPixel(x);
}

void CSliderCtrlEx::OnPointerRelease() {
    m_draggingInside = false;
}

void CSliderCtrlEx::mouseMoveEvent(QMouseEvent* event) {
    // Any move over the bar shows the thumb.
    m_hideTimer.stop();
    if (!m_hover) {
        m_hover = true;
        update();
    }
    CPointerSlider::mouseMoveEvent(event);
}

void CSliderCtrlEx::enterEvent(QEnterEvent* event) {
    // Coming back before the thumb hid keeps it shown.
    m_hideTimer.stop();
    if (!m_hover) {
        m_hover = true;
        update();
    }
    QSlider::enterEvent(event);
}

void CSliderCtrlEx::leaveEvent(QEvent* event) {
    m_hideTimer.start(kThumbHideMs, this);
    QSlider::leaveEvent(event);
}

void CSliderCtrlEx::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_hideTimer.timerId()) {
        QSlider::timerEvent(event);
        return;
    }
    m_hideTimer.stop();
    m_hover = false;
    update();
}

void CSliderCtrlEx::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width();
    QLinearGradient gradient(0, 0, 0, 15);
    gradient.setColorAt(0, QColor::fromRgba(0xFF202020u));
    gradient.setColorAt(1, QColor::fromRgba(0xFF090909u));
    p.fillRect(rect(), gradient);
    p.fillRect(QRect(0, 7, w, 3), QColor(49, 55, 61));
    p.fillRect(QRect(0, 7, w, 2), kGroove);
    p.fillRect(QRect(0, 7, std::clamp(m_playedPixel, 0, std::max(w, 0)), 2), kPlayed);
    if (!m_hover) return;
    const QPixmap thumb = SkinPixmap(kProgressThumb, devicePixelRatioF());
    if (thumb.isNull()) return;
    // Near the right end the thumb stops so that it stays inside the bar.
    const int x = w - m_playedPixel < 8 ? w - 20 : m_playedPixel - 11;
    p.drawPixmap(QRect(x, -1, 26, 18), thumb);
}

// ------------------------------------------------------------------ volume

CSliderVolume::CSliderVolume(QWidget* parent) : CPointerSlider(parent) {
    setFocusPolicy(Qt::NoFocus);
}

int CSliderVolume::ChannelLeft() const {
    return 7;
}

int CSliderVolume::ChannelRight() const {
    return std::max(ChannelLeft(), width() - 11);
}

void CSliderVolume::focusInEvent(QFocusEvent* event) {
    // The keyboard belongs to the window around it.
    QSlider::focusInEvent(event);
    if (QWidget* parent = parentWidget()) parent->setFocus(event->reason());
}

void CSliderVolume::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width();
    const qreal dpr = devicePixelRatioF();
    const QPixmap strip = SkinPixmap(kVolumeStrip, dpr);
    if (!strip.isNull())
        p.drawPixmap(QRectF(rect()), strip, CellSource(strip, kVolumeStripCell, kVolumeStripCells));

    const int grooveWidth = std::max(w - 18, 0);
    p.fillRect(QRect(7, 11, grooveWidth, 3), kGroove);
    const int64_t position = int64_t{value()} - minimum();
    const int64_t level = position * std::max(w, 0) * 47 / 4900;
    p.fillRect(QRect(7, 11, static_cast<int>(std::clamp<int64_t>(level, 0, grooveWidth)), 2),
               kPlayed);

    if (tickPosition() != NoTicks) {
        QStyleOptionSlider option;
        initStyleOption(&option);
        option.subControls = QStyle::SC_SliderTickmarks;
        style()->drawComplexControl(QStyle::CC_Slider, &option, &p, this);
    }

    const QPixmap thumb = SkinPixmap(kVolumeThumb, dpr);
    if (thumb.isNull()) return;
    // The thumb is centred on the value's point of the channel.
    const double range = static_cast<double>(maximum()) - minimum();
    const double t = range > 0 ? static_cast<double>(position) / range : 0.0;
    const int centre =
        ChannelLeft() + static_cast<int>(std::lround(t * (ChannelRight() - ChannelLeft())));
    p.drawPixmap(QRect(centre - 4, 8, 8, 8), thumb);
}

// ------------------------------------------------------------------ range

CRangeSlider::CRangeSlider(QWidget* parent) : QWidget(parent) {}

void CRangeSlider::SetImages(int channel, int thumb, int marker) {
    m_channel = channel;
    m_thumb = thumb;
    m_marker = marker;
    update();
}

void CRangeSlider::SetRange(int minimum, int maximum) {
    m_minimum = minimum;
    m_maximum = maximum;
    update();
}

void CRangeSlider::SetValues(int left, int right) {
    m_left = left;
    m_right = right;
    update();
}

void CRangeSlider::SetPosition(int position) {
    m_position = position;
    update();
}

void CRangeSlider::SetThumbWidth(int margin) {
    m_margin = std::max(margin, 0);
    update();
}

int CRangeSlider::Minimum() const {
    return std::min(m_minimum, m_maximum);
}

int CRangeSlider::Maximum() const {
    return std::max(m_minimum, m_maximum);
}

int CRangeSlider::Left() const {
    return std::clamp(std::min(m_left, m_right), Minimum(), Maximum());
}

int CRangeSlider::Right() const {
    return std::clamp(std::max(m_left, m_right), Minimum(), Maximum());
}

void CRangeSlider::Normalise() {
    const int lo = Minimum(), hi = Maximum(), left = Left(), right = Right();
    m_minimum = lo;
    m_maximum = hi;
    m_left = left;
    m_right = right;
}

int CRangeSlider::ValueToPixel(int value) const {
    const double length = width() - 2.0 * m_margin;
    const double range = static_cast<double>(Maximum()) - Minimum();
    if (length <= 0 || range <= 0) return m_margin;
    return FloorToInt(length * (static_cast<double>(value) - Minimum()) / range + 0.5 + m_margin);
}

int CRangeSlider::PixelToValue(int pixel) const {
    const double length = width() - 2.0 * m_margin;
    const double range = static_cast<double>(Maximum()) - Minimum();
    if (length <= 0 || range <= 0) return Minimum();
    return FloorToInt(range * (static_cast<double>(pixel) - m_margin) / length + 0.5 + Minimum());
}

void CRangeSlider::Notify(int part) {
    if (m_notify) m_notify(part);
}

void CRangeSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    Normalise();
    const int x = PointerX(event);
    const int left = ValueToPixel(m_left);
    const int right = ValueToPixel(m_right);
    // The left thumb lies just before its value's pixel, the right one just after.
    if (x >= left - m_margin && x <= left) {
        m_drag = Drag::kLeft;
        m_grabOffset = x - left;
    } else if (x >= right && x <= right + m_margin) {
        m_drag = Drag::kRight;
        m_grabOffset = x - right;
    } else if (x > left && x < right) {
        m_drag = Drag::kInside;
        m_grabOffset = 0;
    } else {
        m_drag = Drag::kNone;
    }
    event->accept();
}

void CRangeSlider::mouseMoveEvent(QMouseEvent* event) {
    if (m_drag != Drag::kLeft && m_drag != Drag::kRight) return;
    const int v = PixelToValue(PointerX(event) - m_grabOffset);
    // The thumbs never meet: one unit stays between them.
    if (m_drag == Drag::kLeft) {
        const int last = m_right > Minimum() ? m_right - 1 : Minimum();
        m_left = std::clamp(v, Minimum(), last);
        Notify(0);
    } else {
        const int first = m_left < Maximum() ? m_left + 1 : Maximum();
        m_right = std::clamp(v, first, Maximum());
        Notify(1);
    }
    update();
}

void CRangeSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const Drag drag = m_drag;
    m_drag = Drag::kNone;
    if (drag == Drag::kLeft) {
        Notify(0);
    } else if (drag == Drag::kRight) {
        Notify(1);
    } else if (drag == Drag::kInside) {
        m_position = std::clamp(PixelToValue(PointerX(event)), Left(), Right());
        update();
        Notify(2);
    }
}

void CRangeSlider::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const qreal dpr = devicePixelRatioF();
    const int h = height();
    const QPixmap channel = SkinPixmap(m_channel, dpr);
    if (!channel.isNull()) p.drawPixmap(rect(), channel);

    const QPixmap thumb = SkinPixmap(m_thumb, dpr);
    if (!thumb.isNull()) {
        const QSizeF s = thumb.deviceIndependentSize();
        const qreal w = m_margin > 0 ? m_margin : s.width();
        const qreal y = std::floor((h - s.height()) / 2);
        p.drawPixmap(QRectF(ValueToPixel(Left()) - w, y, w, s.height()), thumb, thumb.rect());
        p.drawPixmap(QRectF(ValueToPixel(Right()), y, w, s.height()), thumb, thumb.rect());
    }

    const QPixmap marker = SkinPixmap(m_marker, dpr);
    if (!marker.isNull()) {
        const QSizeF s = marker.deviceIndependentSize();
        const int position = std::clamp(m_position, Minimum(), Maximum());
        qreal x = ValueToPixel(position);
        // At the right value the marker sits inside the range.
        if (position == Right()) x -= s.width();
        p.drawPixmap(QPointF(x, std::floor((h - s.height()) / 2)), marker);
    }
}

}  // namespace app
