#include "app/list_ctrl.h"

#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

#include "app/messages.h"
#include "app/skin.h"

namespace app {

namespace {

constexpr int kImagePending = 381;  // the part of a selected row not yet done
constexpr int kImageDone = 382;
const QColor kPendingFallback(0xCC, 0xE4, 0xF7);
const QColor kDoneFallback(0x33, 0x99, 0xFF);
constexpr int kTextInset = 3;

// Fills r with the image's one-pixel middle row stretched over it, or with
// the fallback colour when the skin has no such image.
void FillRowImage(QPainter& painter, const QRect& r, int number, const QColor& fallback) {
    if (r.width() <= 0 || r.height() <= 0) return;
    if (SkinHasImage(number, 1)) {
        const QPixmap image = SkinPixmap(number, painter.device()->devicePixelRatioF());
        if (!image.isNull()) {
            const QRectF middle(0, image.height() / 2, image.width(), 1);
            painter.drawPixmap(QRectF(r), image, middle);
            return;
        }
    }
    painter.fillRect(r, fallback);
}

QRect InsetForAlignment(const QRect& r, Qt::Alignment alignment) {
    if (alignment & Qt::AlignLeft) return r.adjusted(kTextInset, 0, 0, 0);
    if (alignment & Qt::AlignRight) return r.adjusted(0, 0, -kTextInset, 0);
    return r;
}

}  // namespace

QFont OwnerDrawFont(int pixelSize, int weight) {
    static const QString family = [] {
        const QString wanted = QStringLiteral("Noto Sans CJK SC");
        return QFontDatabase::families().contains(wanted) ? wanted : QFont().family();
    }();
    QFont font(family);
    if (pixelSize > 0) font.setPixelSize(pixelSize);
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

RowProgress SplitProgress(int columns, int percent, int clientWidth) {
    RowProgress progress;
    if (columns <= 0) return progress;
    const int p = std::clamp(percent, 0, 100);
    const int index = columns * p / 100;
    progress.doneColumns = index;
    progress.splitPixels = (p - index * 100 / columns) * std::max(clientWidth, 0) / 100;
    return progress;
}

int DoneWidth(const RowProgress& progress, int column, int columnWidth) {
    if (column < progress.doneColumns) return columnWidth;
    if (column == progress.doneColumns) return std::clamp(progress.splitPixels, 0, columnWidth);
    return 0;
}

bool OutsideInnerArea(const QSize& client, const QPoint& lastPointer) {
    const QRect inner = QRect(QPoint(0, 0), client).adjusted(5, 26, -5, -5);
    return !inner.contains(lastPointer);
}

// ------------------------------------------------------------------- header

CHeaderCtrlCl::CHeaderCtrlCl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setFont(OwnerDrawFont(15));
    setSectionsClickable(false);
    setHighlightSections(false);
    setStretchLastSection(false);
}

Qt::Alignment CHeaderCtrlCl::AlignmentOf(int column) const {
    const QChar c = column >= 0 && column < m_format.size() ? m_format.at(column) : QChar('0');
    if (c == QLatin1Char('1')) return Qt::AlignHCenter;
    if (c == QLatin1Char('2')) return Qt::AlignRight;
    return Qt::AlignLeft;
}

void CHeaderCtrlCl::SetHeightFactor(double factor) {
    m_heightFactor = factor > 0 ? factor : 1.0;
    updateGeometry();
}

QColor CHeaderCtrlCl::EdgeLineColor(int y) const {
    const int step = 8 * std::max(y, 0);
    return QColor(std::max(m_gradientStart.red() - step, 0),
                  std::max(m_gradientStart.green() - step, 0),
                  std::max(m_gradientStart.blue() - step, 0));
}

QSize CHeaderCtrlCl::sizeHint() const {
    QSize s = QHeaderView::sizeHint();
    s.setHeight(static_cast<int>(kBaseHeight * m_heightFactor));
    return s;
}

void CHeaderCtrlCl::PaintSection(QPainter& painter, const QRect& rect, int logicalIndex) const {
    const QRect fill(rect.left() + 1, 1, rect.width() - 1, rect.height() - 2);
    QLinearGradient gradient(0, 0, 0, 28);
    gradient.setColorAt(0, QColor(0xE5, 0xE5, 0xE5));
    gradient.setColorAt(1, QColor(0xDD, 0xDD, 0xDD));
    painter.fillRect(fill, gradient);

    const Qt::Alignment horizontal = AlignmentOf(logicalIndex);
    const QString title = model() != nullptr
                              ? model()->headerData(logicalIndex, orientation()).toString()
                              : QString();
    painter.setPen(m_textColor);
    painter.setFont(font());
    painter.drawText(InsetForAlignment(rect, horizontal),
                     static_cast<int>(horizontal | Qt::AlignVCenter | Qt::TextSingleLine), title);
}

void CHeaderCtrlCl::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QRect client = viewport()->rect();
    painter.fillRect(client, QColor(177, 177, 177));
    int end = 0;
    for (int visual = 0; visual < count(); ++visual) {
        const int logical = logicalIndex(visual);
        if (isSectionHidden(logical)) continue;
        const int left = sectionViewportPosition(logical);
        const int w = sectionSize(logical);
        PaintSection(painter, QRect(left, 0, w, client.height()), logical);
        end = std::max(end, left + w);
    }
    // The area right of the last column: one line per pixel row, darkening.
    if (end < client.width()) {
        for (int y = 0; y < client.height(); ++y) {
            painter.setPen(EdgeLineColor(y));
            painter.drawLine(end, y, client.width() - 1, y);
        }
    }
}

// ----------------------------------------------------------------- delegate

CListDelegate::CListDelegate(CListCtrlCl* list) : QStyledItemDelegate(list), m_list(list) {}

void CListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    const int row = index.row();
    const int column = index.column();
    const QRect r = option.rect;
    painter->save();
    QColor text;
    if (option.state & QStyle::State_Selected) {
        const int columns = m_list->columnCount();
        const RowProgress progress =
            SplitProgress(columns, m_list->Progress(), m_list->viewport()->width());
        const int done = DoneWidth(progress, column, r.width());
        FillRowImage(*painter, QRect(r.left(), r.top(), done, r.height()), kImageDone,
                     kDoneFallback);
        FillRowImage(*painter, QRect(r.left() + done, r.top(), r.width() - done, r.height()),
                     kImagePending, kPendingFallback);
        text = option.palette.color(QPalette::HighlightedText);
    } else {
        painter->fillRect(r, m_list->CellBackground(row, column));
        text = m_list->CellTextColor(row, column);
    }
    const Qt::Alignment horizontal = m_list->Header()->AlignmentOf(column);
    const QRect textRect = InsetForAlignment(r, horizontal);
    const QFontMetrics metrics(m_list->font());
    const QString label = metrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                             Qt::ElideMiddle, textRect.width());
    painter->setFont(m_list->font());
    painter->setPen(text);
    painter->drawText(textRect,
                      static_cast<int>(horizontal | Qt::AlignVCenter | Qt::TextSingleLine), label);
    painter->restore();
}

// --------------------------------------------------------------------- list

CListCtrlCl::CListCtrlCl(QWidget* parent) : QTableWidget(parent) {
    m_header = new CHeaderCtrlCl(this);
    setHorizontalHeader(m_header);
    verticalHeader()->hide();
    setItemDelegate(new CListDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setFont(OwnerDrawFont(14));
    // One line of the list font per row.
    const QFontMetrics metrics(font());
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(metrics.height() + metrics.leading() + 1);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    viewport()->installEventFilter(this);
    m_header->setMouseTracking(true);
    m_header->viewport()->installEventFilter(this);
    SetBackground(m_background);

    auto scrolled = [this](int) { NotifyParent(); };
    QObject::connect(verticalScrollBar(), &QScrollBar::valueChanged, this, scrolled);
    QObject::connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, scrolled);
}

void CListCtrlCl::SetColumn(int column, const QString& title, int width) {
    if (column < 0) return;
    if (column >= columnCount()) setColumnCount(column + 1);
    setHorizontalHeaderItem(column, new QTableWidgetItem(title));
    setColumnWidth(column, width);
}

void CListCtrlCl::SetBackground(const QColor& color) {
    m_background = color;
    QPalette p = palette();
    p.setColor(QPalette::Base, color);
    setPalette(p);
}

void CListCtrlCl::SetProgress(int percent) {
    m_progress = std::clamp(percent, 0, 100);
}

QColor CListCtrlCl::CellBackground(int row, int column) const {
    QColor color = m_background;
    if (auto it = m_columnColors.find(column); it != m_columnColors.end()) color = it->second;
    if (auto it = m_cellColors.find({row, column}); it != m_cellColors.end()) color = it->second;
    return color;
}

QColor CListCtrlCl::CellTextColor(int row, int column) const {
    QColor color = m_defaultText;
    if (auto it = m_columnText.find(column); it != m_columnText.end()) color = it->second;
    if (auto it = m_cellText.find({row, column}); it != m_cellText.end()) color = it->second;
    return color;
}

bool CListCtrlCl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        auto* source = static_cast<QWidget*>(watched);
        const auto* move = static_cast<QMouseEvent*>(event);
        m_pointer = source->mapTo(this, move->position().toPoint());
        setFocus(Qt::MouseFocusReason);
    }
    return QTableWidget::eventFilter(watched, event);
}

void CListCtrlCl::leaveEvent(QEvent* event) {
    if (OutsideInnerArea(size(), m_pointer)) NotifyParent();
    QTableWidget::leaveEvent(event);
}

void CListCtrlCl::NotifyParent() {
    if (parentWidget() != nullptr) PostMessage(parentWidget(), WM_LIST_NOTIFY, 0, 0);
}

}  // namespace app
