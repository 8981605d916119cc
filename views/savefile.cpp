#include "views/savefile.h"

#include "data/filewrite.h"

#include <stdexcept>

namespace views {

bool SaveThroughDialog(QWidget *owner, const views::FileDialogOptions &options,
                       const std::function<QByteArray(const QString &fileName)> &content)
{
    // The name is used as the dialog gave it: appending the extension
    // afterwards would write a file the overwrite question never saw.
    const QString fileName = views::prompts().SaveFileName(owner, options);
    if (fileName.isEmpty())
        return false;
    QString error;
    // The user chose this very file: where no new file can be made beside
    // it, it is written over, its space reserved first.
    if (!data::WriteFileReplacing(fileName, content(fileName), &error, data::InPlace::Reserved))
        throw std::runtime_error(error.toStdString());
    return true;
}

bool SaveThroughDialog(QWidget *owner, const views::FileDialogOptions &options,
                       const std::function<QByteArray()> &content)
{
    return SaveThroughDialog(owner, options, [&content](const QString &) { return content(); });
}

} // namespace views
