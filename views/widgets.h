#pragma once
// Small widgets the windows need beyond Qt's own: the round status lamp, a
// tab widget whose page changes by the user can be refused, and a table
// whose first row stays in view.

#include <QColor>
#include <QTabWidget>
#include <QTableView>
#include <QWidget>

#include <functional>

namespace views {

// A filled circle with an outline (`Shape1`, `Shape2`).
class Lamp : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(QWidget *parent = nullptr);
    QColor brushColor() const { return m_color; }
    void setBrushColor(const QColor &color);
    QSize sizeHint() const override { return {17, 17}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
};

// Page changes asked for by the user (mouse, wheel, keyboard) are put to
// OnChanging first; the program's own setCurrentIndex is never refused.
class TPageControl : public QTabWidget {
    Q_OBJECT
public:
    explicit TPageControl(QWidget *parent = nullptr);
    std::function<bool()> OnChanging;
    bool userMayChange() const { return !OnChanging || OnChanging(); }

protected:
    void keyPressEvent(QKeyEvent *event) override;
};

// A table whose row 0 is a fixed row, as in a string grid: it stays at the
// top while the rows below it scroll. Row 0 remains an ordinary row of the
// model and of this view (selection, keys, the accessibility tree, every
// reader of the model); only its painting stays put. Once row 0 has
// scrolled away, a second view of the same model and selection, one row
// high, lies over the top of the viewport and follows it sideways.
class FixedRowTable : public QTableView {
    Q_OBJECT
public:
    explicit FixedRowTable(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    void setSelectionModel(QItemSelectionModel *selectionModel) override;
    // Never leaves the row asked for under the fixed row.
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;
    // Scrolls the least needed for `row` to show whole, keeping the columns
    // in view; a table not shown now does it when it is next shown.
    void RevealRow(int row);
    // The view that paints row 0 while it has scrolled away.
    QTableView *FixedRow() const { return m_fixed; }

protected:
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void PlaceFixedRow();

    QTableView *const m_fixed;
    int m_pendingRow = -1;
};

// Tag of a control, kept as the dynamic property "Tag".
int Tag(const QObject *control);
void SetTag(QObject *control, int tag);

} // namespace views
