// The owner-drawn report list and its column header: rows with per-column and
// per-cell colours, a selected row drawn as a progress bar split across the
// columns, and a flat gradient header.
#pragma once

#include <QColor>
#include <QFont>
#include <QHeaderView>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStyledItemDelegate>
#include <QTableWidget>

#include <map>
#include <utility>

namespace app {

// The face all owner-drawn lists and menus use: "Noto Sans CJK SC" when it is
// installed, else the default family. pixelSize <= 0 keeps the default size.
QFont OwnerDrawFont(int pixelSize, int weight = QFont::Normal);

// How a selected row's progress fill falls on its columns: columns below
// `doneColumns` are fully done; column `doneColumns` is done for its first
// `splitPixels` pixels; every later column is not done.
struct RowProgress {
    int doneColumns = 0;
    int splitPixels = 0;
};
// n columns, percent p (clamped to 0..100), client width w:
// index = n*p/100, split = (p - index*100/n) * w / 100.
RowProgress SplitProgress(int columns, int percent, int clientWidth);
// The done width of one column of the given width.
int DoneWidth(const RowProgress& progress, int column, int columnWidth);

// The leave rule: a pointer that leaves the list from a point outside the
// client area shrunk by 5 px left, right and bottom and 26 px at the top
// (below the header) is reported to the parent.
bool OutsideInnerArea(const QSize& client, const QPoint& lastPointer);

class CHeaderCtrlCl : public QHeaderView {
  public:
    explicit CHeaderCtrlCl(QWidget* parent = nullptr);

    // One character per column: '0' left, '1' centre, '2' right. A missing
    // or other character is left.
    void SetAlignment(const QString& format) { m_format = format; }
    Qt::Alignment AlignmentOf(int column) const;
    void SetTextColor(const QColor& color) { m_textColor = color; }
    void SetGradientStart(const QColor& color) { m_gradientStart = color; }
    void SetHeightFactor(double factor);
    double HeightFactor() const { return m_heightFactor; }

    // The line colour of pixel row y right of the last column: the start
    // colour losing 8 per row in each channel, never below 0.
    QColor EdgeLineColor(int y) const;

    QSize sizeHint() const override;

    static constexpr int kBaseHeight = 26;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void PaintSection(QPainter& painter, const QRect& rect, int logicalIndex) const;

    QString m_format;
    QColor m_textColor{0, 0, 0};
    QColor m_gradientStart{171, 199, 235};
    double m_heightFactor = 1.0;
};

class CListCtrlCl;

// Paints one cell of a CListCtrlCl.
class CListDelegate : public QStyledItemDelegate {
  public:
    explicit CListDelegate(CListCtrlCl* list);
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

  private:
    CListCtrlCl* m_list;
};

class CListCtrlCl : public QTableWidget {
  public:
    explicit CListCtrlCl(QWidget* parent = nullptr);

    CHeaderCtrlCl* Header() const { return m_header; }
    // Appends (or sets) column `column` with its title and width.
    void SetColumn(int column, const QString& title, int width);

    void SetBackground(const QColor& color);
    QColor Background() const { return m_background; }
    void SetColumnColor(int column, const QColor& color) { m_columnColors[column] = color; }
    void SetCellColor(int row, int column, const QColor& color) {
        m_cellColors[{row, column}] = color;
    }
    void SetColumnTextColor(int column, const QColor& color) { m_columnText[column] = color; }
    void SetCellTextColor(int row, int column, const QColor& color) {
        m_cellText[{row, column}] = color;
    }
    void SetDefaultTextColor(const QColor& color) { m_defaultText = color; }
    // The selected row's done share, 0..100 (the owner repaints).
    void SetProgress(int percent);
    int Progress() const { return m_progress; }

    // Background: list, then column, then cell. Text: default, then column,
    // then cell.
    QColor CellBackground(int row, int column) const;
    QColor CellTextColor(int row, int column) const;

    // The last pointer position, in the list's own coordinates.
    QPoint Pointer() const { return m_pointer; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void NotifyParent();

    CHeaderCtrlCl* m_header;
    QColor m_background{255, 255, 255};
    std::map<int, QColor> m_columnColors;
    std::map<std::pair<int, int>, QColor> m_cellColors;
    std::map<int, QColor> m_columnText;
    std::map<std::pair<int, int>, QColor> m_cellText;
    QColor m_defaultText{0, 0, 0};
    int m_progress = 0;
    QPoint m_pointer{-1, -1};
};

}  // namespace app
