#pragma once
// Writing a file the user chose, free of widgets so that the window and the
// command-line tool save the same way.

#include <QByteArray>
#include <QString>

namespace data {

// Writes `bytes` to `path`. The new file is written completely beside the
// old one and replaces it only on success, so a failure leaves the old file
// as it was. Where no file can be made beside the target (a folder without
// write permission holding a writable file, a name too close to the length
// limit to take the temporary suffix) the target is written directly
// instead; a failure then can leave it partly written.
// False on failure, with `*error` = "Cannot create file "<full native
// path>". <system reason>".
bool WriteFileReplacing(const QString &path, const QByteArray &bytes, QString *error);

} // namespace data
