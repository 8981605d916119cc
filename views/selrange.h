#pragma once
// "Select range": asks for the first and last stored measurement to download.

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;

namespace views {

class TForm1 final : public QDialog {
    Q_OBJECT
public:
    explicit TForm1(QWidget *owner);
    void Button11Click() { done(1); } // Ok
    void Button1Click() { done(2); }  // Cancel

    QLabel *Label1;
    QComboBox *ComboBox1;
    QLabel *Label2;
    QComboBox *ComboBox2;
    QPushButton *Button11;
    QPushButton *Button1;

protected:
    void reject() override { done(2); } // closing by the system menu is Cancel
};

extern TForm1 *Form1;

} // namespace views
