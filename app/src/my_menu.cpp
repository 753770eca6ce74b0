#include "app/my_menu.h"

#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>

#include "app/list_ctrl.h"
#include "app/messages.h"
#include "app/skin.h"
#include "app/strings.h"

namespace app {

namespace {

constexpr int kBackgroundImage = 294;
constexpr int kLabelX = 40;
const QColor kHoverText(48, 170, 252);
const QColor kDisabledText(128, 128, 128);
const QColor kBorder(0x14, 0x2F, 0x42);

// The label string of each row, and the message an enabled row posts.
constexpr int kLabels[CMyMenu::kRows] = {kStrMenuOpenFile,   kStrMenuNetStream, kStrMenuSubtitle,
                                         kStrMenuHistory,    kStrMenuHelp,      kStrMenuSettings,
                                         kStrMenuProperties, kStrMenuExit};
constexpr int kCommands[CMyMenu::kRows] = {WM_OPEN_FILE, 0, 0, 0, 0, 0, 0, WM_CLOSE_APP};

}  // namespace

CMyMenu::CMyMenu(QWidget* target)
    : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint), m_target(target) {
    setObjectName("menu");
    setFixedSize(kWidth, kHeight);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CMyMenu::Popup(const QPoint& globalPos) {
    m_hovered = -1;
    move(globalPos);
    show();
    raise();
    activateWindow();
    setFocus(Qt::PopupFocusReason);
}

int CMyMenu::ItemAt(const QPoint& local) const {
    if (!rect().contains(local)) return -1;
    const int row = local.y() / kRowHeight;
    return row >= 0 && row < kRows ? row : -1;
}

bool CMyMenu::Enabled(int row) const {
    return row >= 0 && row < kRows && kCommands[row] != 0;
}

void CMyMenu::Choose(int row) {
    if (Enabled(row) && m_target != nullptr) PostMessage(m_target, kCommands[row]);
    hide();
}

void CMyMenu::SetHovered(int row) {
    if (row == m_hovered) return;
    m_hovered = row;
    update();
}

void CMyMenu::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect face(0, 0, kWidth, kHeight);
    const QPixmap background = SkinHasImage(kBackgroundImage, 1)
                                   ? SkinPixmap(kBackgroundImage, devicePixelRatioF())
                                   : QPixmap();
    if (!background.isNull()) {
        painter.drawPixmap(face, background);
    } else {
        QLinearGradient gradient(0, 0, 0, kHeight);
        gradient.setColorAt(0, QColor(0x2c, 0x2c, 0x2c));
        gradient.setColorAt(1, QColor(0x16, 0x16, 0x16));
        painter.fillRect(face, gradient);
    }
    painter.setPen(kBorder);
    painter.drawRect(face.adjusted(0, 0, -1, -1));

    painter.setFont(OwnerDrawFont(12, QFont::Medium));
    for (int row = 0; row < kRows; ++row) {
        const QColor color = !Enabled(row)      ? kDisabledText
                             : row == m_hovered ? kHoverText
                                                : QColor(255, 255, 255);
        painter.setPen(color);
        // Longer labels (English) end in an ellipsis rather than at the edge.
        const int room = kWidth - kLabelX - 4;
        painter.drawText(
            QRect(kLabelX, row * kRowHeight, room, kRowHeight),
            Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
            painter.fontMetrics().elidedText(LoadString(kLabels[row]), Qt::ElideRight, room));
    }
}

void CMyMenu::mouseMoveEvent(QMouseEvent* event) {
    SetHovered(ItemAt(event->position().toPoint()));
}

void CMyMenu::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const int row = ItemAt(event->position().toPoint());
    // A release on a disabled row keeps the menu open, as menus do.
    if (Enabled(row))
        Choose(row);
    else if (row < 0)
        hide();
}

void CMyMenu::leaveEvent(QEvent*) {
    SetHovered(-1);
}

void CMyMenu::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
            hide();
            break;
        case Qt::Key_Up:
        case Qt::Key_Down: {
            // Steps over the disabled rows, wrapping around.
            const int step = event->key() == Qt::Key_Down ? 1 : kRows - 1;
            int row = m_hovered < 0 ? (step == 1 ? kRows - 1 : 0) : m_hovered;
            for (int i = 0; i < kRows; ++i) {
                row = (row + step) % kRows;
                if (Enabled(row)) break;
            }
            SetHovered(row);
            break;
        }
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (Enabled(m_hovered)) Choose(m_hovered);
            break;
        default:
            QWidget::keyPressEvent(event);
    }
}

}  // namespace app
