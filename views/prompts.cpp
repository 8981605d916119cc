#include "views/prompts.h"

#include "os/services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>

namespace views {

namespace {

QMessageBox::Icon toBoxIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Question: return QMessageBox::Question;
    case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

// The save dialog, with the default extension of the filter in use: it is
// applied before the dialog asks about overwriting, so the question is
// about the file really written.
class SaveDialog final : public QFileDialog {
public:
    SaveDialog(QWidget *owner, const FileDialogOptions &options)
        : QFileDialog(owner, options.title, QString(), options.filter), m_options(options)
    {
    }
    void accept() override
    {
        const QStringList filters = m_options.filter.split(QStringLiteral(";;"));
        const qsizetype chosen = filters.indexOf(selectedNameFilter());
        static const QRegularExpression pattern(QStringLiteral("\\*\\.([^\\s;)]+)"));
        const QRegularExpressionMatch match = pattern.match(filters.value(chosen));
        setDefaultSuffix(chosen > 0 && match.hasMatch() ? match.captured(1) : m_options.defaultExtension);
        QFileDialog::accept();
    }

private:
    FileDialogOptions m_options;
};

class RealPrompts final : public Prompts {
public:
    void Message(QWidget *owner, const QString &text, const QString &caption,
                 MessageIcon icon) override
    {
        QMessageBox box(toBoxIcon(icon), caption, text, QMessageBox::Ok, owner);
        box.exec();
    }
    bool Ask(QWidget *owner, const QString &text, const QString &caption) override
    {
        QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                        owner);
        return box.exec() == QMessageBox::Yes;
    }
    QString SaveFileName(QWidget *owner, const FileDialogOptions &o) override
    {
        SaveDialog dialog(owner, o);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        // The dialog applies the default extension before it asks about
        // overwriting, so "keep" is asked about as the existing "keep.ZVQ".
        // Platform dialogs differ in this; Qt's own dialog is the same
        // everywhere.
        dialog.setDefaultSuffix(o.defaultExtension);
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !o.promptOverwrite);
        if (dialog.exec() != QDialog::Accepted)
            return {};
        return dialog.selectedFiles().value(0);
    }
    QString OpenFileName(QWidget *owner, const FileDialogOptions &o) override
    {
        // The open dialog only offers files that exist.
        return QFileDialog::getOpenFileName(owner, o.title, QString(), o.filter);
    }
    // The system's own sound of the kind where it has one, else Qt's.
    void MessageBeep(int type) override
    {
        if (!os::MessageBeep(type))
            QApplication::beep();
    }
    void ShellOpen(const QUrl &target) override { QDesktopServices::openUrl(target); }
    int RunModal(QDialog *dialog) override { return dialog->exec(); }
};

RealPrompts &realPrompts()
{
    static RealPrompts instance;
    return instance;
}

Prompts *g_prompts = nullptr;

} // namespace

Prompts &prompts()
{
    return g_prompts ? *g_prompts : realPrompts();
}

void setPrompts(Prompts *replacement)
{
    g_prompts = replacement;
}

void ShowError(const QString &text)
{
    QString shown = text;
    if (!shown.isEmpty() && shown.back() > QLatin1Char('.'))
        shown += QLatin1Char('.');
    prompts().Message(nullptr, shown, QApplication::applicationName(), MessageIcon::Error);
}

} // namespace views
