#pragma once
// The one way the window saves a file the user names: "Save defaults"
// (templates) and "Save" (CSV or workbook) all come through here.

#include "views/prompts.h"

#include <QByteArray>

#include <functional>

class QWidget;

namespace views {

// Asks for the name through the save dialog and writes what `content` gives
// for that name there (WriteFileReplacing, in place with its space reserved
// where no file can be made beside it). The dialog itself applies the
// default extension, so its overwrite question is about the file really
// written. False when the user cancelled; a failed write raises
// std::runtime_error with "Cannot create file "<name>". <reason>", and an
// error `content` raises goes on as it is; the old file stays as it was.
bool SaveThroughDialog(QWidget *owner, const views::FileDialogOptions &options,
                       const std::function<QByteArray(const QString &fileName)> &content);
// The same for content that does not depend on the name.
bool SaveThroughDialog(QWidget *owner, const views::FileDialogOptions &options,
                       const std::function<QByteArray()> &content);

} // namespace views
