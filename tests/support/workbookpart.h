#pragma once
// One part of a workbook file (a zip archive), read back with unzip.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// Empty when the bytes are no archive or hold no such part.
inline QByteArray WorkbookPart(const QByteArray &workbook, const QString &part)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("book.xlsx"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(workbook) != workbook.size())
        return {};
    file.close();
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), path, part});
    if (!unzip.waitForFinished(30000) || unzip.exitCode() != 0)
        return {};
    return unzip.readAllStandardOutput();
}

} // namespace testsupport
