#pragma once
// The three small windows the worker shows while it works. None can be
// closed by the user; each opens centred on the main window and never blocks
// the main window's event processing.
//   TForm8 (wait dialog), TForm5 (search dialog), TForm7 (progress dialog)

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace app {

class SmallDialog : public QDialog {
    Q_OBJECT
public:
    SmallDialog(QWidget *owner, const QString &name, const QString &caption, QSize clientSize);
    // Shows the dialog centred on its owner, without blocking.
    void ShowCentred();

protected:
    void closeEvent(QCloseEvent *event) override;  // the user cannot close it
    void keyPressEvent(QKeyEvent *event) override; // nor escape from it
};

// "Estabilishing connection ...."
class TForm8 final : public SmallDialog {
    Q_OBJECT
public:
    explicit TForm8(QWidget *owner);
    QLabel *Label1;
};

// The search dialog with its Cancel button.
class TForm5 final : public SmallDialog {
    Q_OBJECT
public:
    explicit TForm5(QWidget *owner);
    void Button4Click();
    // Sets the instruction below Cancel and sizes the dialog to show it
    // whole in the font in use; 196 x 96 is its least size.
    void SetInstruction(const QString &text);
    QPushButton *Button4;
    QLabel *Label1;
};

class TForm7 final : public SmallDialog {
    Q_OBJECT
public:
    explicit TForm7(QWidget *owner);
    QLabel *Label1;
    QProgressBar *ProgressBar1;
};

} // namespace app
