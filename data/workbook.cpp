#include "data/workbook.h"

#include "data/decimal.h"
#include "data/meastable.h"

#include <QFile>
#include <QTemporaryDir>

#include <xlsxwriter.h>

#include <algorithm>
#include <vector>

namespace data {

namespace {

// Widths are in characters of the sheet's default font; Excel takes up to
// 255, and a little room keeps the text off the cell's edges.
constexpr double MaxColumnWidth = 255;
constexpr double ColumnPadding = 2;

// The rows written: the captions, then the records down to the first one
// whose key is empty.
int RowsWritten(const MeasTable &table)
{
    int rows = 0;
    while (rows < table.RowCount() && !table.CellView(0, rows).isEmpty())
        ++rows;
    return std::max(rows, 1);
}

// Checks what a sheet cannot hold before anything is written, and measures
// the columns on the way.
bool Measure(const MeasTable &table, int rows, std::vector<double> *widths, QString *error)
{
    if (table.ColumnCount() > WorkbookMaxColumns) {
        *error = QStringLiteral("The table has %1 columns; a workbook sheet holds at most %2.")
                     .arg(table.ColumnCount()).arg(WorkbookMaxColumns);
        return false;
    }
    widths->assign(static_cast<std::size_t>(table.ColumnCount()), LXW_DEF_COL_WIDTH);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < table.ColumnCount(); ++c) {
            const qsizetype length = table.CellView(c, r).size();
            if (length > WorkbookMaxCellLength) {
                *error = QStringLiteral("Row %1, column %2 holds %3 characters; a workbook cell holds at most %4.")
                             .arg(r + 1).arg(c + 1).arg(length).arg(WorkbookMaxCellLength);
                return false;
            }
            double &width = (*widths)[static_cast<std::size_t>(c)];
            width = std::max(width, std::min(double(length) + ColumnPadding, MaxColumnWidth));
        }
    }
    return true;
}

bool IsHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
}

// Whether `text` holds the sheet format's escape "_xHHHH_" at `at`.
bool EscapeAt(const QString &text, qsizetype at)
{
    if (at + 7 > text.size() || text[at] != u'_' || text[at + 1] != u'x' || text[at + 6] != u'_')
        return false;
    return std::all_of(text.begin() + at + 2, text.begin() + at + 6, IsHexDigit);
}

// The format writes a character it cannot hold as "_xHHHH_", and the
// library does so for control characters, but it leaves text that already
// reads like such an escape alone: a spreadsheet would show "a_x000D_b"
// with a line break. The underscore that begins one is escaped itself.
QString EscapeLookalikes(const QString &text)
{
    if (!text.contains(QLatin1String("_x")))
        return text;
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (EscapeAt(text, at))
            out += QLatin1String("_x005F_");
        else
            out += text[at];
    }
    return out;
}

lxw_error WriteCell(lxw_worksheet *sheet, int row, int column, QStringView text, lxw_format *format)
{
    if (text.isEmpty())
        return LXW_NO_ERROR;
    int digits = 0;
    if (row > 0) {
        if (const auto number = DecimalNumber(text, &digits); number && digits <= ExactDigits)
            return worksheet_write_number(sheet, lxw_row_t(row), lxw_col_t(column), *number, format);
    }
    // The library takes C strings, so a zero character would end the cell
    // there and lose the rest: it is written as the symbol for it instead.
    QString shown = EscapeLookalikes(text.toString());
    shown.replace(QChar(0), QChar(0x2400));
    return worksheet_write_string(sheet, lxw_row_t(row), lxw_col_t(column), shown.toUtf8().constData(), format);
}

// Fills the sheet; the first error of the library ends it.
lxw_error WriteSheet(lxw_workbook *book, const MeasTable &table, int rows, const std::vector<double> &widths)
{
    lxw_worksheet *sheet = workbook_add_worksheet(book, "Measurements");
    lxw_format *bold = workbook_add_format(book);
    if (!sheet || !bold)
        return LXW_ERROR_MEMORY_MALLOC_FAILED;
    format_set_bold(bold);
    worksheet_freeze_panes(sheet, 1, 0);
    for (int c = 0; c < table.ColumnCount(); ++c) {
        if (const lxw_error e = worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c),
                                                     widths[static_cast<std::size_t>(c)], nullptr))
            return e;
    }
    // Row by row, as the sheet is streamed to its temporary file.
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < table.ColumnCount(); ++c) {
            if (const lxw_error e = WriteCell(sheet, r, c, table.CellView(c, r), r == 0 ? bold : nullptr))
                return e;
        }
    }
    return LXW_NO_ERROR;
}

} // namespace

bool IsWorkbookName(const QString &path)
{
    return path.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive);
}

bool WorkbookBytes(const MeasTable &table, QByteArray *bytes, QString *error)
{
    const int rows = RowsWritten(table);
    std::vector<double> widths;
    if (!Measure(table, rows, &widths, error))
        return false;
    // This version of the library writes only to a named file: it and the
    // library's own scratch files go to a folder only this user can enter.
    QTemporaryDir folder;
    if (!folder.isValid()) {
        *error = QStringLiteral("Cannot make a temporary folder for the workbook. %1").arg(folder.errorString());
        return false;
    }
    const QString path = folder.filePath(QStringLiteral("measurements.xlsx"));
    QByteArray scratch = QFile::encodeName(folder.path());
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE; // rows go to disk as they are written
    options.tmpdir = scratch.data();
    lxw_workbook *book = workbook_new_opt(QFile::encodeName(path).constData(), &options);
    if (!book) {
        *error = QStringLiteral("Cannot start the workbook.");
        return false;
    }
    const lxw_error written = WriteSheet(book, table, rows, widths);
    // Closing writes the file, and frees the workbook even after an error.
    const lxw_error closed = workbook_close(book);
    if (written || closed) {
        *error = QStringLiteral("Cannot build the workbook: %1.")
                     .arg(QString::fromUtf8(lxw_strerror(written ? written : closed)));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read the workbook back. %1").arg(file.errorString());
        return false;
    }
    *bytes = file.readAll();
    if (bytes->size() != file.size()) {
        *error = QStringLiteral("Cannot read the workbook back. %1").arg(file.errorString());
        return false;
    }
    return true;
}

} // namespace data
