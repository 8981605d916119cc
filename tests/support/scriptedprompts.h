#pragma once
// Prompts for tests: records every message, beep and shell action, answers
// questions and file dialogs from queues set up by the test.

#include "views/prompts.h"

#include <QDialog>
#include <QList>
#include <QQueue>
#include <QStringList>

#include <functional>

namespace testsupport {

struct RecordedMessage {
    QString text;
    QString caption;
    views::MessageIcon icon = views::MessageIcon::None;
    bool question = false;
};

class ScriptedPrompts final : public views::Prompts {
public:
    ScriptedPrompts() { views::setPrompts(this); }
    ~ScriptedPrompts() override { views::setPrompts(nullptr); }

    void Message(QWidget *, const QString &text, const QString &caption,
                 views::MessageIcon icon) override
    {
        messages.append({text, caption, icon, false});
    }
    bool Ask(QWidget *, const QString &text, const QString &caption) override
    {
        messages.append({text, caption, views::MessageIcon::Question, true});
        return answers.isEmpty() ? false : answers.dequeue();
    }
    QString SaveFileName(QWidget *, const views::FileDialogOptions &options) override
    {
        dialogs.append(options);
        return fileNames.isEmpty() ? QString() : fileNames.dequeue();
    }
    QString OpenFileName(QWidget *, const views::FileDialogOptions &options) override
    {
        dialogs.append(options);
        return fileNames.isEmpty() ? QString() : fileNames.dequeue();
    }
    void MessageBeep(int type) override { beeps.append(type); }
    void ShellOpen(const QUrl &target) override { opened.append(target); }
    // The test plays the user in the dialog; without a script it is Cancel.
    int RunModal(QDialog *dialog) override
    {
        ++modalRuns;
        return modal ? modal(dialog) : QDialog::Rejected + 2;
    }

    QStringList texts() const
    {
        QStringList out;
        for (const auto &m : messages)
            out << m.text;
        return out;
    }

    QList<RecordedMessage> messages;
    QQueue<bool> answers;
    QQueue<QString> fileNames;
    QList<views::FileDialogOptions> dialogs;
    QList<int> beeps;
    QList<QUrl> opened;
    std::function<int(QDialog *)> modal;
    int modalRuns = 0;
};

} // namespace testsupport
