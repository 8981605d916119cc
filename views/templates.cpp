// Range mapping templates: the number of active ranges and the grid's rows
// 1..9 (row labels included) in a 190-line UTF-8 text file.

#include "views/devicedata.h"

#include "app/mainform.h"
#include "app/prompts.h"
#include "views/savefile.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalBlocker>
#include <QStringConverter>
#include <QStringDecoder>
#include <QTableWidget>

#include <algorithm>
#include <stdexcept>

namespace app {

namespace {

// A template is 190 short lines. Whatever the file holds, loading reads at
// most those lines, keeps at most this much of each, and stops after this
// many bytes: a huge or hostile file costs milliseconds, not the window.
constexpr int TemplateLines = 190;
constexpr int TemplateLineChars = 256;
constexpr qint64 TemplateReadLimit = 8 * 1024 * 1024;
constexpr qint64 TemplateReadChunk = 64 * 1024;

FileDialogOptions TemplateDialog(const QString &title)
{
    FileDialogOptions options;
    options.title = title;
    options.filter = QStringLiteral("ZEVQ range maping (*.zvq)");
    options.defaultExtension = QStringLiteral("ZVQ");
    return options;
}

QString FullName(const QString &fileName)
{
    return QDir::toNativeSeparators(QFileInfo(fileName).absoluteFilePath());
}

[[noreturn]] void Fail(const char *pattern, const QString &fileName, const QString &reason)
{
    throw std::runtime_error(
        QString::fromLatin1(pattern).arg(FullName(fileName), reason).toStdString());
}

// The first lines of the file: a byte-order mark picks the encoding and is
// dropped (without one the text is UTF-8); lines end at CR LF, LF or a lone
// CR. Read in chunks, so only what is used is ever held.
QStringList ReadTemplateLines(QIODevice &file)
{
    const auto encoding = QStringConverter::encodingForData(file.peek(4));
    QStringDecoder decoder(encoding.value_or(QStringConverter::Utf8)); // skips the mark itself
    QStringList lines;
    QString current;
    bool afterCR = false;
    qint64 total = 0;
    while (lines.size() < TemplateLines && total < TemplateReadLimit) {
        const QByteArray chunk = file.read(std::min(TemplateReadChunk, TemplateReadLimit - total));
        if (chunk.isEmpty())
            break;
        total += chunk.size();
        const QString text = decoder.decode(chunk);
        for (const QChar c : text) {
            if (afterCR && c == QLatin1Char('\n')) {
                afterCR = false;
                continue;
            }
            afterCR = c == QLatin1Char('\r');
            if (afterCR || c == QLatin1Char('\n')) {
                lines.append(current);
                current.clear();
                if (lines.size() == TemplateLines)
                    break;
            } else if (current.size() < TemplateLineChars) {
                current.append(c);
            }
        }
    }
    if (lines.size() < TemplateLines && !current.isEmpty())
        lines.append(current);
    return lines;
}

} // namespace

void TForm4::Button7Click()
{
    FileDialogOptions options = TemplateDialog(QStringLiteral("Save range maping template"));
    options.promptOverwrite = true;
    views::SaveThroughDialog(this, options, [this] {
        QString text = QString::number(ComboBox10->currentIndex()) + QStringLiteral("\r\n");
        for (int r = 1; r < views::GridRows; ++r) {
            for (int c = 0; c < views::GridColumns; ++c)
                text += views::CellText(StringGrid1, c, r) + QStringLiteral("\r\n");
        }
        return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    });
}

void TForm4::Button8Click()
{
    FileDialogOptions options = TemplateDialog(QStringLiteral("Load range maping template"));
    options.mustExist = true;
    const QString fileName = prompts().OpenFileName(this, options);
    if (fileName.isEmpty())
        return;

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        Fail("Cannot open file \"%1\". %2", fileName, file.errorString());
    const QStringList lines = ReadTemplateLines(file);
    const auto line = [&lines](int i) { return i < lines.size() ? lines[i] : QString(); };

    const qint32 index = views::IntegerValue(line(0));
    {
        const QSignalBlocker quiet(ComboBox10);
        ComboBox10->setCurrentIndex(index >= 0 && index < ComboBox10->count() ? index : -1);
    }
    int next = 1;
    for (int r = 1; r < views::GridRows; ++r) {
        for (int c = 0; c < views::GridColumns; ++c)
            views::SetCellText(StringGrid1, c, r, line(next++));
    }
    StringGrid1->viewport()->update();
}

} // namespace app
