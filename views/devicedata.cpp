// The Device data page's input rules, the range mapping grid and the
// "Send parameters", "Reset" and "Revert" buttons.

#include "views/devicedata.h"
#include "views/gridsizing.h"

#include "views/prompts.h"
#include "link/bt.h"
#include "protocol/blockfields.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QTableWidget>

#include <limits>
#include <stdexcept>

namespace views {

std::optional<qint32> ParseInteger(const QString &text)
{
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-')))
        negative = t[i++] == QLatin1Char('-');
    if (i == t.size())
        return std::nullopt;
    qint64 value = 0;
    for (; i < t.size(); ++i) {
        const char16_t c = t[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > qint64(std::numeric_limits<qint32>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return static_cast<qint32>(value);
}

qint32 IntegerValue(const QString &text)
{
    if (const auto value = ParseInteger(text))
        return *value;
    throw std::runtime_error(
        QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
}

bool IsValidEntry(const QString &text)
{
    const auto value = ParseInteger(text);
    return value && protocol::IsValidRange(*value);
}

int RangeGridColumnWidth(const QFontMetrics &metrics)
{
    return GridTextInset + CellDigitLimit * CharacterWidth(metrics);
}

int RangeGridRowHeight(const QFontMetrics &metrics)
{
    return GridRowHeight(metrics, 18);
}

QString CellText(const QTableWidget *grid, int column, int row)
{
    const QTableWidgetItem *item = grid->item(row, column);
    return item ? item->text() : QString();
}

void SetCellText(QTableWidget *grid, int column, int row, const QString &text)
{
    if (QTableWidgetItem *item = grid->item(row, column))
        item->setText(text);
    else
        grid->setItem(row, column, new QTableWidgetItem(text));
}

CellLook LookOfCell(const QTableWidget *grid, int activeCount, int column, int row)
{
    const QPalette &palette = grid->palette();
    if (column == 0 || row == 0)
        return {CellText(grid, column, row), palette.color(QPalette::WindowText),
                palette.color(QPalette::Button)};
    const QColor background = palette.color(QPalette::Base);
    if (EntryOf(column, row) >= activeCount)
        return {QStringLiteral("N/A"), InactiveText, background};
    const QString text = CellText(grid, column, row);
    const bool bad = !text.isEmpty() && !IsValidEntry(text);
    return {text, bad ? BadEntryText : palette.color(QPalette::WindowText), background};
}

bool KeyIsDiscarded(QEvent *event, const std::function<void(QChar &)> &filter)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    // Clipboard and other shortcuts: the platform may not report them as
    // control characters, so Control held is enough.
    if (key->text().isEmpty() || (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
        return false;
    for (QChar c : key->text()) {
        filter(c);
        if (c.isNull())
            return true;
    }
    return false;
}

// ---- the grid's painter and editor ----------------------------------------

RangeGridDelegate::RangeGridDelegate(DeviceDataPage *form, QObject *parent)
    : QStyledItemDelegate(parent), m_form(form)
{
}

void RangeGridDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const
{
    painter->save();
    painter->setClipRect(option.rect);
    m_form->StringGrid1DrawCell(*painter, index.column(), index.row(), option.rect);
    if (option.state & QStyle::State_HasFocus) {
        QPen pen(option.palette.color(QPalette::WindowText), 1, Qt::DotLine);
        painter->setPen(pen);
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
    }
    painter->restore();
}

QWidget *RangeGridDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                         const QModelIndex &index) const
{
    auto *editor = new QLineEdit(parent);
    editor->setFrame(false);
    editor->setFont(m_form->StringGrid1->font());
    // The cell follows the editor at once, so its marking and the check of
    // "Send parameters" see what is being typed.
    Q_UNUSED(index);
    connect(editor, &QLineEdit::textEdited, this, [this, editor](const QString &text) {
        QPalette palette = editor->palette();
        palette.setColor(QPalette::Text,
                         text.isEmpty() || IsValidEntry(text)
                             ? m_form->StringGrid1->palette().color(QPalette::WindowText)
                             : BadEntryText);
        editor->setPalette(palette);
        auto *self = const_cast<RangeGridDelegate *>(this);
        emit self->commitData(editor);
    });
    return editor;
}

void RangeGridDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *line = static_cast<QLineEdit *>(editor);
    const QString text = index.data(Qt::EditRole).toString();
    if (line->text() != text)
        line->setText(text);
}

bool RangeGridDelegate::eventFilter(QObject *object, QEvent *event)
{
    bool discarded = false;
    Guarded([&] {
        discarded = KeyIsDiscarded(
            event, [&](QChar &key) { m_form->StringGrid1KeyPress(object, key); });
    });
    return discarded || QStyledItemDelegate::eventFilter(object, event);
}



namespace {

bool IsControlChar(QChar key)
{
    return key.unicode() < 32 || key.unicode() == 127;
}

// A typed character passes when it is a control character, or a digit while
// the text is shorter than the limit.
void FilterDigit(QChar &key, qsizetype length, int limit)
{
    if (IsControlChar(key))
        return;
    if (key >= QLatin1Char('0') && key <= QLatin1Char('9') && length < limit)
        return;
    key = QChar();
}

int ActiveCount(const QComboBox *count)
{
    return count->currentIndex() + 1;
}

} // namespace

void DeviceDataPage::Edit1KeyPress(QObject *sender, QChar &key)
{
    const auto *edit = qobject_cast<QLineEdit *>(sender);
    FilterDigit(key, edit ? edit->text().size() : 0, EditDigitLimit);
}

void DeviceDataPage::Edit1Exit(QObject *sender)
{
    auto *edit = qobject_cast<QLineEdit *>(sender);
    if (!edit)
        return;
    const auto value = ParseInteger(edit->text());
    if (!value)
        edit->setText(QStringLiteral("0"));
    else if (*value > 65535)
        edit->setText(QStringLiteral("65535"));
}

void DeviceDataPage::ComboBox4Change(QObject *sender)
{
    const struct {
        QComboBox *year, *month, *day;
    } dates[] = {{ComboBox1, ComboBox2, ComboBox3},
                 {ComboBox4, ComboBox5, ComboBox6},
                 {ComboBox7, ComboBox8, ComboBox9}};
    for (const auto &date : dates) {
        if (sender == date.year || sender == date.month)
            FillDayList(date.year, date.month, date.day);
    }
}

void DeviceDataPage::FillDayList(QComboBox *year, QComboBox *month, QComboBox *day)
{
    const int selected = day->currentIndex();
    const int february = year->currentIndex() % 4 == 0 ? 29 : 28;
    int length = -1; // no month chosen: the list stays as it is
    switch (month->currentIndex()) {
    case 0: case 2: case 4: case 6: case 7: case 9: case 11:
        length = 31;
        break;
    case 3: case 5: case 8: case 10:
        length = 30;
        break;
    case 1:
        length = february;
        break;
    default:
        break;
    }
    if (length > 0) {
        while (day->count() < length)
            day->addItem(QString::number(day->count() + 1));
        while (day->count() > length)
            day->removeItem(day->count() - 1);
    }
    if (selected < 0 || selected >= day->count())
        day->setCurrentIndex(day->count() - 1);
}

void DeviceDataPage::ComboBox10Click()
{
    StringGrid1->viewport()->update();
}

void DeviceDataPage::StringGrid1DrawCell(QPainter &canvas, int column, int row, const QRect &rect)
{
    const CellLook look =
        LookOfCell(StringGrid1, ActiveCount(ComboBox10), column, row);
    canvas.fillRect(rect, look.background);
    canvas.setFont(StringGrid1->font());
    canvas.setPen(look.textColor);
    canvas.drawText(rect.adjusted(GridTextInset, GridTextInset, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                    look.text);
}

void DeviceDataPage::StringGrid1KeyPress(QObject *sender, QChar &key)
{
    const auto *editor = qobject_cast<QLineEdit *>(sender);
    const qsizetype length =
        editor ? editor->text().size()
               : CellText(StringGrid1, StringGrid1->currentColumn(),
                                 StringGrid1->currentRow()).size();
    FilterDigit(key, length, CellDigitLimit);
}

void DeviceDataPage::StringGrid1Click()
{
    const int column = StringGrid1->currentColumn();
    const int row = StringGrid1->currentRow();
    if (column < 1 || row < 1)
        return;
    if (EntryOf(column, row) >= ActiveCount(ComboBox10)) {
        StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
        return;
    }
    // Not on "current changed": the view would open an editor on the new
    // cell before this handler has judged it.
    StringGrid1->setEditTriggers(QAbstractItemView::DoubleClicked |
                                 QAbstractItemView::SelectedClicked |
                                 QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    StringGrid1->edit(StringGrid1->currentIndex());
}

bool DeviceDataPage::ValidateRangeMapping()
{
    const int count = ActiveCount(ComboBox10);
    for (int e = 0; e < count; ++e) {
        const int column = EntryColumn(e);
        const int row = EntryRow(e);
        if (IsValidEntry(CellText(StringGrid1, column, row)))
            continue;
        StringGrid1->setFocus();
        if (StringGrid1->currentRow() == row && StringGrid1->currentColumn() == column)
            StringGrid1Click();
        else
            StringGrid1->setCurrentCell(row, column);
        return false;
    }
    return true;
}

void DeviceDataPage::CheckPageCollectable()
{
    // A pasted text is judged when the focus leaves its edit; judge it here
    // too in case the focus never left.
    Edit1Exit(Edit1);
    Edit1Exit(Edit3);
    // Anything else the copy into the block could not read is refused now,
    // before a request is posted, rather than in the middle of an exchange.
    protocol::ParameterBlock trial;
    CollectParameterBlock(trial);
}

void DeviceDataPage::Button2Click()
{
    if (!ValidateRangeMapping()) {
        prompts().MessageBeep(16);
        return;
    }
    CheckPageCollectable();
    RangeFrom = 0;
    RangeTo = 0;
    if (!devlink::Worker)
        return;
    devlink::Worker->DownloadMode = false;
    devlink::Worker->RequestTransfer();
}

void DeviceDataPage::Button5Click()
{
    const int count = ActiveCount(ComboBox10);
    for (int e = 0; e < count; ++e)
        SetCellText(StringGrid1, EntryColumn(e), EntryRow(e),
                           QString::number(e + 1));
}

void DeviceDataPage::Button6Click()
{
    if (!prompts().Ask(nullptr, QStringLiteral("Restore to the first parameters set?"),
                       QStringLiteral("Confirm")))
        return;
    if (devlink::Worker)
        devlink::Worker->RequestRevert();
}

} // namespace views
