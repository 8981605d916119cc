#pragma once
// The files a command reads and the place its result goes, judged before
// anything is connected, so that a bad file or a bad -o never costs a
// connection.

#include <QString>

namespace cli {

struct Options;

// What the file system says about a path given as -o.
struct PathFacts {
    enum Type { Missing, Regular, Folder, Device, Pipe, Other };
    Type type = Missing;
    // The same file as the tool's stdout (/dev/stdout, or the file stdout
    // was sent to).
    bool sameAsStdout = false;
    // The folder a new file would go into: present, and open to new files.
    bool folderExists = false;
    bool folderWritable = false;
    // An existing file that this user may write (what the write itself will
    // ask when it replaces the file).
    bool fileWritable = true;
};

struct OutputTarget {
    enum Kind {
        Stdout,  // written to stdout as it is (also when appending to a file)
        Stream,  // a device or a pipe: opened and written, never replaced
        File,    // written beside the old file and put in its place
        Refused, // `reason` says why
    };
    Kind kind = Refused;
    QString reason;
};

// The judgement alone, without the file system. "-" and no -o mean stdout.
inline OutputTarget JudgeOutput(const QString &path, const PathFacts &facts)
{
    if (path.isEmpty() || path == QLatin1String("-") || facts.sameAsStdout)
        return {OutputTarget::Stdout, {}};
    switch (facts.type) {
    case PathFacts::Device:
    case PathFacts::Pipe:
        return {OutputTarget::Stream, {}};
    case PathFacts::Folder:
        return {OutputTarget::Refused, QStringLiteral("It is a folder.")};
    case PathFacts::Other:
        return {OutputTarget::Refused, QStringLiteral("It is neither a file nor a device nor a pipe.")};
    case PathFacts::Missing:
    case PathFacts::Regular:
        break;
    }
    if (path.endsWith(QLatin1Char('/')))
        return {OutputTarget::Refused, QStringLiteral("It names a folder.")};
    if (!facts.folderExists)
        return {OutputTarget::Refused, QStringLiteral("Its folder does not exist.")};
    // The result is written beside the old file and then put in its place;
    // it is never written over the old file.
    if (!facts.folderWritable)
        return {OutputTarget::Refused, QStringLiteral("Its folder takes no new files.")};
    if (facts.type == PathFacts::Regular && !facts.fileWritable)
        return {OutputTarget::Refused, QStringLiteral("The file is read-only.")};
    return {OutputTarget::File, {}};
}

PathFacts FactsOf(const QString &path);

// ExitDone, or the exit code with its reason said: -o that cannot be
// written (ExitOutputFailed), -o naming the --trace file (ExitUsage), an
// input file that is not a regular file (ExitUsage). Input files are
// checked by their type before they are opened: a pipe or a device would
// make the tool wait for its writer, deaf to Ctrl+C.
int CheckFiles(const Options &options);

} // namespace cli
