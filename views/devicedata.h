#pragma once
// The "Device data" page: its controls, its input rules, the copies between
// the page and the meter's parameter block, the range mapping templates and
// "Send data". The main window derives from this class, so every handler here
// is one of the window's; the page itself knows nothing of the window's frame.
//
// Its members are defined in:
//   views/devicedata.cpp         input rules, the grid, Send parameters, Reset, Revert
//   views/devicedata_layout.cpp  the controls and their wiring
//   views/blockpage.cpp          the block <-> page copies
//   views/templates.cpp          "Save defaults", "Load defaults"
//   views/firmware.cpp           "Send data"

#include "protocol/parameterblock.h"

#include <QColor>
#include <QString>
#include <QStyledItemDelegate>

#include <cstdint>
#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QFontMetrics;
class QLabel;
class QLineEdit;
class QPainter;
class QPushButton;
class QTableWidget;
class QWidget;

namespace views {

class Lamp;

class DeviceDataPage {
public:
    // `window` owns the page's dialogs and message boxes.
    explicit DeviceDataPage(QWidget *window) : m_owner(window) {}
    virtual ~DeviceDataPage() = default;
    DeviceDataPage(const DeviceDataPage &) = delete;
    DeviceDataPage &operator=(const DeviceDataPage &) = delete;

    // Creates the page's controls on `page` and wires its own handlers;
    // "Search and connect", "Read" and "Exit" are wired by the window.
    void BuildDeviceDataPage(QWidget *page);

    void ShowParameterBlock(protocol::ParameterBlock &block);
    void CollectParameterBlock(protocol::ParameterBlock &block);
    void FillDayList(QComboBox *year, QComboBox *month, QComboBox *day);
    void Button2Click();
    void Button3Click(); // "Send data"
    void Button5Click();
    void Button6Click();
    void Button7Click();
    void Button8Click();
    bool ValidateRangeMapping();
    // Handlers of the page's own controls; public so the page can be driven
    // without a screen.
    void Edit1KeyPress(QObject *sender, QChar &key); // a null key is discarded
    void Edit1Exit(QObject *sender);
    void ComboBox4Change(QObject *sender);
    void ComboBox10Click();
    void StringGrid1DrawCell(QPainter &canvas, int column, int row, const QRect &rect);
    void StringGrid1KeyPress(QObject *sender, QChar &key); // a null key is discarded
    void StringGrid1Click();
    void ShowDate(QComboBox *year, QComboBox *month, QComboBox *day, std::uint8_t *date);
    void CollectDate(QComboBox *year, QComboBox *month, QComboBox *day,
                     std::uint8_t *date) const;
    // Corrects Edit1 and Edit3 as leaving them would, then raises the error
    // CollectParameterBlock would raise, so that a request is never posted
    // with a page the worker cannot copy. For every button that makes the
    // worker collect the page.
    void CheckPageCollectable();

    // The measurement range of the next download ("Read"); 0..0 writes
    // parameters only.
    qint32 RangeFrom = 0;
    qint32 RangeTo = 0;

    // ---- controls (objectName = component name) -----------------------------
    QLineEdit *Edit1 = nullptr;
    QLineEdit *Edit2 = nullptr;
    QLineEdit *Edit3 = nullptr;
    QLineEdit *Edit4 = nullptr;
    QCheckBox *CheckBox1 = nullptr;
    QComboBox *ComboBox1 = nullptr;
    QComboBox *ComboBox2 = nullptr;
    QComboBox *ComboBox3 = nullptr;
    QComboBox *ComboBox4 = nullptr;
    QComboBox *ComboBox5 = nullptr;
    QComboBox *ComboBox6 = nullptr;
    QComboBox *ComboBox7 = nullptr;
    QComboBox *ComboBox8 = nullptr;
    QComboBox *ComboBox9 = nullptr;
    QComboBox *ComboBox10 = nullptr;
    QTableWidget *StringGrid1 = nullptr;
    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;
    QPushButton *Button3 = nullptr;
    QPushButton *Button4 = nullptr;
    QPushButton *Button5 = nullptr;
    QPushButton *Button6 = nullptr;
    QPushButton *Button7 = nullptr;
    QPushButton *Button8 = nullptr;
    QPushButton *Button11 = nullptr;
    Lamp *Shape1 = nullptr;
    QLabel *Label13 = nullptr;

private:
    void BuildRangeGrid(QWidget *page, const QFont &font);
    void LayOutDeviceDataPage(QWidget *page);
    void ConnectDeviceDataHandlers();

    QWidget *const m_owner;
};

// The grid's shape: one fixed row and one fixed column around 9 x 20 entries.
inline constexpr int GridColumns = 21;
inline constexpr int GridRows = 10;
inline constexpr int EntriesPerRow = 20;

// Digit limits of the key filters.
inline constexpr int EditDigitLimit = 6;
inline constexpr int CellDigitLimit = 4;

// A column of the grid holds the text inset and the four digits a cell
// takes, in the grid's font: 30 pixels in the 8-point bold "Courier New" at
// 96 dots per inch it was made for. A row is 18 pixels, or more where a line
// of the font needs it.
int RangeGridColumnWidth(const QFontMetrics &metrics);
int RangeGridRowHeight(const QFontMetrics &metrics);

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
    RangeGridDelegate(DeviceDataPage *form, QObject *parent);
    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;

protected:
    bool eventFilter(QObject *object, QEvent *event) override;

private:
    DeviceDataPage *m_form;
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
