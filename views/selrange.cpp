#include "views/selrange.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace views {

TForm1 *Form1 = nullptr;

TForm1::TForm1(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::MSWindowsFixedSizeDialogHint),
      Label1(new QLabel(QStringLiteral("From"), this)), ComboBox1(new QComboBox(this)),
      Label2(new QLabel(QStringLiteral("To"), this)), ComboBox2(new QComboBox(this)),
      Button11(new QPushButton(QStringLiteral("Ok"), this)),
      Button1(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Select range"));
    setFixedSize(220, 110);
    setModal(true);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(12, 14, 40, 16);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(60, 10, 145, 22);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(12, 44, 40, 16);
    ComboBox2->setObjectName(QStringLiteral("ComboBox2"));
    ComboBox2->setGeometry(60, 40, 145, 22);
    Button11->setObjectName(QStringLiteral("Button11"));
    Button11->setGeometry(30, 74, 75, 25);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(115, 74, 75, 25);
    connect(Button11, &QPushButton::clicked, this, &TForm1::Button11Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
}

} // namespace views
