// Range mapping templates: the number of active ranges and the grid's rows
// 1..9 (row labels included) in a 190-line UTF-8 text file.

#include "views/devicedata.h"

#include "views/prompts.h"
#include "views/savefile.h"
#include "data/templatefile.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalBlocker>
#include <QTableWidget>

#include <stdexcept>

namespace views {

namespace {

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

} // namespace

void DeviceDataPage::Button7Click()
{
    FileDialogOptions options = TemplateDialog(QStringLiteral("Save range maping template"));
    options.promptOverwrite = true;
    SaveThroughDialog(m_owner, options, [this] {
        QString text = QString::number(ComboBox10->currentIndex()) + QStringLiteral("\r\n");
        for (int r = 1; r < GridRows; ++r) {
            for (int c = 0; c < GridColumns; ++c)
                text += CellText(StringGrid1, c, r) + QStringLiteral("\r\n");
        }
        return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    });
}

void DeviceDataPage::Button8Click()
{
    FileDialogOptions options = TemplateDialog(QStringLiteral("Load range maping template"));
    options.mustExist = true;
    const QString fileName = prompts().OpenFileName(m_owner, options);
    if (fileName.isEmpty())
        return;

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        Fail("Cannot open file \"%1\". %2", fileName, file.errorString());
    const QStringList lines = data::ReadTemplateLines(file);
    const auto line = [&lines](int i) { return i < lines.size() ? lines[i] : QString(); };

    const qint32 index = IntegerValue(line(0));
    {
        const QSignalBlocker quiet(ComboBox10);
        ComboBox10->setCurrentIndex(index >= 0 && index < ComboBox10->count() ? index : -1);
    }
    int next = 1;
    for (int r = 1; r < GridRows; ++r) {
        for (int c = 0; c < GridColumns; ++c)
            SetCellText(StringGrid1, c, r, line(next++));
    }
    StringGrid1->viewport()->update();
}

} // namespace views
