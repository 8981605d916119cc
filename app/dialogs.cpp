#include "app/dialogs.h"

#include "views/prompts.h"
#include "link/bt.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace app {

using views::Guarded;

SmallDialog::SmallDialog(QWidget *owner, const QString &name, const QString &caption,
                         QSize clientSize)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(name);
    setWindowTitle(caption);
    setFixedSize(clientSize);
    setModal(false);
}

void SmallDialog::ShowCentred()
{
    if (QWidget *owner = parentWidget())
        move(owner->geometry().center() - rect().center());
    show();
}

void SmallDialog::closeEvent(QCloseEvent *event)
{
    event->ignore();
}

void SmallDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

TForm8::TForm8(QWidget *owner)
    : SmallDialog(owner, QStringLiteral("Form8"), QStringLiteral("Wait"), {168, 37}),
      Label1(new QLabel(QStringLiteral("Estabilishing connection ...."), this))
{
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 10, 156, 16);
}

namespace {
// The search dialog as designed: Cancel centred at the top, the instruction
// in a line below it, 4 pixels from either side.
constexpr QSize SearchDialogLeast{196, 96};
constexpr int InstructionTop = 64;
constexpr int InstructionMargin = 4;
constexpr int InstructionHeight = 24;
} // namespace

TForm5::TForm5(QWidget *owner)
    : SmallDialog(owner, QStringLiteral("Form5"), QStringLiteral("Searching...."), SearchDialogLeast),
      Button4(new QPushButton(QStringLiteral("Cancel"), this)), Label1(new QLabel(this))
{
    Button4->setObjectName(QStringLiteral("Button4"));
    Button4->resize(92, 49);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
    SetInstruction(QString());
    connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });
}

void TForm5::SetInstruction(const QString &text)
{
    // The design's 188 pixels hold the text in the 8-point font it was made
    // for; wider fonts (other desktops, larger settings) widen the dialog
    // instead of cutting the text at both ends.
    Label1->setText(text);
    const QSize needed = Label1->sizeHint();
    const int width = std::max(SearchDialogLeast.width(), needed.width() + 2 * InstructionMargin);
    const int labelHeight = std::max(InstructionHeight, needed.height());
    const int height = std::max(SearchDialogLeast.height(), InstructionTop + labelHeight + 8);
    setFixedSize(width, height);
    Button4->move((width - Button4->width()) / 2, 8);
    Label1->setGeometry(InstructionMargin, InstructionTop, width - 2 * InstructionMargin, labelHeight);
}

void TForm5::Button4Click()
{
    // Once per search: the next search enables it again.
    Button4->setEnabled(false);
    if (devlink::Worker)
        devlink::Worker->CancelSearch();
}

TForm7::TForm7(QWidget *owner)
    : SmallDialog(owner, QStringLiteral("Form7"), QStringLiteral("Progress"), {321, 67}),
      Label1(new QLabel(this)), ProgressBar1(new QProgressBar(this))
{
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 8, 305, 16);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(8, 32, 305, 20);
    ProgressBar1->setTextVisible(false);
}

} // namespace app
