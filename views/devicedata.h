#pragma once
// Pieces of the Device data page shared by its source files and its tests:
// reading decimal text the way the page does, the range mapping grid's cell
// addressing and the decision of how a cell looks.

#include <QColor>
#include <QString>
#include <QStyledItemDelegate>

#include <functional>
#include <optional>

class QTableWidget;

namespace app {
class TForm4;
}

namespace views {

// The grid's shape: one fixed row and one fixed column around 9 x 20 entries.
inline constexpr int GridColumns = 21;
inline constexpr int GridRows = 10;
inline constexpr int GridColumnWidth = 30;
inline constexpr int GridRowHeight = 18;
inline constexpr int EntriesPerRow = 20;

// Digit limits of the key filters.
inline constexpr int EditDigitLimit = 6;
inline constexpr int CellDigitLimit = 4;

// A decimal integer: optional sign and digits, surrounding blanks allowed,
// within 32 bits. Anything else (empty text included) is no integer.
std::optional<qint32> ParseInteger(const QString &text);
// As ParseInteger, but a text without an integer raises std::runtime_error
// "'<text>' is not a valid integer value".
qint32 IntegerValue(const QString &text);
// A range mapping entry is valid when it is an integer from 1 to 180.
bool IsValidEntry(const QString &text);

// Entry e sits in column e mod 20 + 1, row e div 20 + 1.
inline int EntryColumn(int entry) { return entry % EntriesPerRow + 1; }
inline int EntryRow(int entry) { return entry / EntriesPerRow + 1; }
inline int EntryOf(int column, int row) { return EntriesPerRow * (row - 1) + (column - 1); }

// Text of cell (column, row); empty when the cell has no item.
QString CellText(const QTableWidget *grid, int column, int row);
void SetCellText(QTableWidget *grid, int column, int row, const QString &text);

// How one cell of the grid is painted, given the number of active entries.
struct CellLook {
    QString text;
    QColor textColor;
    QColor background;
};
CellLook LookOfCell(const QTableWidget *grid, int activeCount, int column, int row);

// Grey of inactive cells and red of bad entries.
inline const QColor InactiveText{128, 128, 128};
inline const QColor BadEntryText{255, 0, 0};

// Paints every cell through the window's StringGrid1DrawCell and gives the
// cell editor the grid's key filter. The editor's text goes into the cell
// with every change, so the cell's marking follows the typing.
class RangeGridDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    RangeGridDelegate(app::TForm4 *form, QObject *parent);
    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;

protected:
    bool eventFilter(QObject *object, QEvent *event) override;

private:
    app::TForm4 *m_form;
};

// An event filter that hands every event of the watched objects to a function;
// true from the function swallows the event.
class EventHook : public QObject {
public:
    using Handler = std::function<bool(QObject *, QEvent *)>;
    EventHook(Handler handler, QObject *parent) : QObject(parent), m_handler(std::move(handler)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        return m_handler(watched, event);
    }

private:
    Handler m_handler;
};

// The typed character of a key press, judged by a key filter: a null QChar
// from the filter discards the key. Keys without text and shortcuts (Control
// held) are not typed characters and always pass.
bool KeyIsDiscarded(QEvent *event, const std::function<void(QChar &)> &filter);

} // namespace views
