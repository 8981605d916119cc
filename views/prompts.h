#pragma once
// Everything that asks or tells the user outside the window itself: message
// boxes, file dialogs, the error sound and the shell's "open" action. The
// program uses the real one; tests install a scripted one that records every
// message and answers every question.

#include <QString>
#include <QStringList>
#include <QUrl>

class QDialog;
class QWidget;

namespace views {

enum class MessageIcon { None, Information, Warning, Error, Question };

struct FileDialogOptions {
    QString title;
    QString filter;           // e.g. "ZEVQ range maping (*.zvq)"; several joined by ";;"
    // Appended when the chosen name has none and the first filter is
    // chosen; another filter appends the extension of its first pattern.
    QString defaultExtension;
    bool promptOverwrite = false;
    bool mustExist = false;
};

class Prompts {
public:
    virtual ~Prompts() = default;
    // Modal message with an OK button.
    virtual void Message(QWidget *owner, const QString &text, const QString &caption,
                         MessageIcon icon) = 0;
    // Modal Yes/No question; true for Yes.
    virtual bool Ask(QWidget *owner, const QString &text, const QString &caption) = 0;
    // Empty when the user cancelled.
    virtual QString SaveFileName(QWidget *owner, const FileDialogOptions &options) = 0;
    virtual QString OpenFileName(QWidget *owner, const FileDialogOptions &options) = 0;
    // The error sound (`MessageBeep`); `type` 16 is the error icon's sound.
    virtual void MessageBeep(int type) = 0;
    // The desktop shell's "open" action; failures are silent.
    virtual void ShellOpen(const QUrl &target) = 0;
    // Shows a modal dialog of the program ("Select range") and returns the
    // result it ended with.
    virtual int RunModal(QDialog *dialog) = 0;
};

// The prompts in use; the real ones unless a test installed others.
Prompts &prompts();
void setPrompts(Prompts *replacement); // nullptr restores the real ones

// Shows an error that escaped a handler: its text (a full stop appended when
// the last character sorts after "."), the application title as caption.
void ShowError(const QString &text);

// Runs a handler and shows any error it raises as ShowError does, so one
// failing click never ends the program.
template <typename F> void Guarded(F &&handler)
{
    try {
        handler();
    } catch (const std::exception &error) {
        ShowError(QString::fromStdString(error.what()));
    }
}

} // namespace views
