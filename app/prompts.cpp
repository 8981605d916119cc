#include "app/prompts.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace app {

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

QString withDefaultExtension(const QString &name, const QString &extension)
{
    if (name.isEmpty() || extension.isEmpty() || !QFileInfo(name).suffix().isEmpty())
        return name;
    return name + QLatin1Char('.') + extension;
}

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
        QFileDialog::Options flags;
        if (!o.promptOverwrite)
            flags |= QFileDialog::DontConfirmOverwrite;
        return withDefaultExtension(
            QFileDialog::getSaveFileName(owner, o.title, QString(), o.filter, nullptr, flags),
            o.defaultExtension);
    }
    QString OpenFileName(QWidget *owner, const FileDialogOptions &o) override
    {
        // The open dialog only offers files that exist.
        return QFileDialog::getOpenFileName(owner, o.title, QString(), o.filter);
    }
    void MessageBeep(int) override { QApplication::beep(); }
    void ShellOpen(const QUrl &target) override { QDesktopServices::openUrl(target); }
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

} // namespace app
