#pragma once
// Writing a file the user chose, free of widgets so that the window and the
// command-line tool save the same way.

#include <QByteArray>
#include <QString>

namespace data {

// What a save may do where no new file can be made beside the old one (a
// folder without write permission holding a writable file, a name too
// close to the length limit to take the temporary suffix).
enum class InPlace {
    // Refuse: the old file stays as it was (the tool: complete or not at all).
    Never,
    // Write over the old file, but only once the space for the new content
    // is reserved; a disk that is full refuses before one old byte changes
    // (the window, where the user chose that very file).
    Reserved,
};

// Writes `bytes` to `path`. The new file is written completely beside the
// old one and replaces it only on success, so a failure leaves the old file
// as it was; with InPlace::Reserved see above. A path that exists as
// something other than a regular file (a folder, a device, a pipe) is
// refused, never replaced.
// False on failure, with `*error` = "Cannot create file "<full native
// path>". <system reason>" (and what became of the old file where it was
// written in place).
bool WriteFileReplacing(const QString &path, const QByteArray &bytes, QString *error,
                        InPlace inPlace = InPlace::Never);

} // namespace data
