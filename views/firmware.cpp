// "Send data": firmware from an Intel HEX file. The file is read and checked
// here, on the main thread; the worker sends the lines (UploadFirmware).
#include "views/devicedata.h"

#include "views/prompts.h"
#include "link/bt.h"
#include "protocol/hexfile.h"

#include <QDir>
#include <QFileInfo>

#include <stdexcept>

namespace views {

void DeviceDataPage::Button3Click()
{
    FileDialogOptions options;
    options.title = QStringLiteral("Open INHEX32 file");
    options.filter = QStringLiteral("INHEX32 files (*.HEX)");
    options.defaultExtension = QStringLiteral("HEX");
    options.mustExist = true;
    const QString fileName = prompts().OpenFileName(m_owner, options);
    if (fileName.isEmpty())
        return;
    QString error;
    std::optional<QStringList> lines = protocol::ReadHexFile(fileName, &error);
    if (!lines)
        throw std::runtime_error(error.toStdString());
    protocol::FirmwareLines prepared = protocol::PrepareFirmwareLines(std::move(*lines));
    if (!prepared.fault.isEmpty()) {
        prompts().Message(m_owner, QStringLiteral("Invalid INHX32 file"), QStringLiteral("Error"), MessageIcon::Error);
        return;
    }
    protocol::NoteFirmwareWarning(prepared);
    const QString fullPath = QDir::toNativeSeparators(QFileInfo(fileName).absoluteFilePath());
    if (!prompts().Ask(nullptr, QStringLiteral("Data file: ") + fullPath, QStringLiteral("Confirm upload")))
        return;
    if (devlink::Worker)
        devlink::Worker->RequestUpload(std::make_unique<QStringList>(std::move(prepared.sent)), fullPath);
}

} // namespace views
