#include "app/mainform.h"

#include "app/dialogs.h"
#include "views/prompts.h"
#include "views/widgets.h"
#include "app/windowview.h"
#include "link/bt.h"
#include "link/meterlink.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace app {

using views::Guarded;
using views::SetTag;
using views::TPageControl;
using views::Tag;
using views::prompts;

TForm4 *Form4 = nullptr;
TForm5 *Form5 = nullptr;
TForm7 *Form7 = nullptr;
TForm8 *Form8 = nullptr;

namespace {

const QString kWebAddress = QStringLiteral("www.vorelt.example");
const QString kMailAddress = QStringLiteral("service@vorelt.example");
const QString kStatusConnected = QStringLiteral("Till disconnect, do not push any key on the device");

// Runs a handler when a label is clicked.
class ClickFilter final : public QObject {
public:
    ClickFilter(QObject *parent, std::function<void()> onClick)
        : QObject(parent), m_onClick(std::move(onClick)) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            Guarded(m_onClick);
            return true;
        }
        return false;
    }

private:
    std::function<void()> m_onClick;
};

QLabel *linkLabel(QWidget *parent, const QString &name, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    QFont font = label->font();
    font.setPointSizeF(10.5);
    font.setItalic(true);
    font.setUnderline(true);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: blue"));
    label->setCursor(Qt::PointingHandCursor);
    return label;
}

} // namespace

TForm4::TForm4(std::unique_ptr<devlink::TBluetoothLE> component)
    : DeviceDataPage(this), MeasurementPage(this, *this), View(std::make_unique<WindowView>(this)),
      Meter(std::make_unique<devlink::MeterLink>(std::move(component), View.get()))
{
    Meter->AssignHandlers = [this] { AssignLinkHandlers(); };
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Tarvolin 2.2 BLE"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    resize(707, 524);

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("Client"));
    auto *column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    setCentralWidget(central);

    BuildHeader();
    column->addWidget(Panel1);

    PageControl1 = new TPageControl(central);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    PageControl1->addTab(TabSheet1, QStringLiteral("Measurement"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Device data"));
    column->addWidget(PageControl1, 1);

    BuildMeasurementPage(TabSheet1);
    BuildDeviceDataPage(TabSheet2);
    PageControl1->setCurrentIndex(1);
    PageControl1->OnChanging = [this] { return PageControl1Changing(); };
    ConnectFrameHandlers();
    BuildStatusMenu();
}

TForm4::~TForm4()
{
    if (Form4 == this)
        Form4 = nullptr;
}

void TForm4::BuildHeader()
{
    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(30);
    auto *row = new QHBoxLayout(Panel1);
    row->setContentsMargins(8, 2, 8, 2);
    Label7 = new QLabel(QStringLiteral("VORELT "), Panel1);
    Label7->setObjectName(QStringLiteral("Label7"));
    QFont brand = Label7->font();
    brand.setPointSize(12);
    brand.setBold(true);
    brand.setItalic(true);
    Label7->setFont(brand);
    Label7->setStyleSheet(QStringLiteral("color: red"));
    Label11 = linkLabel(Panel1, QStringLiteral("Label11"), kWebAddress);
    Label12 = linkLabel(Panel1, QStringLiteral("Label12"), kMailAddress);
    row->addWidget(Label7);
    row->addStretch(1);
    row->addWidget(Label11);
    row->addSpacing(12);
    row->addWidget(Label12);
    Label11->installEventFilter(new ClickFilter(Label11, [this] { Label11Click(); }));
    Label12->installEventFilter(new ClickFilter(Label12, [this] { Label12Click(); }));
}


void TForm4::ConnectFrameHandlers()
{
    for (QPushButton *button : {Button1, Button9})
        connect(button, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    for (QPushButton *button : {Button4, Button12})
        connect(button, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });
    // "Read" sits on the Device data page and belongs to the Measurement page.
    connect(Button11, &QPushButton::clicked, this, [this] { Guarded([this] { Button11Click(); }); });
    // The window's own assignment of the link's events.
    AssignLinkHandlers();
}

// ---- status display ---------------------------------------------------------

namespace {

QList<QWidget *> connectionControls(const TForm4 &f)
{
    return {f.Edit1, f.CheckBox1, f.Edit3, f.ComboBox1, f.ComboBox2, f.ComboBox3,
            f.ComboBox4, f.ComboBox5, f.ComboBox6, f.ComboBox7, f.ComboBox8, f.ComboBox9,
            f.Edit4, f.ComboBox10, f.Button5, f.Button7, f.Button8, f.StringGrid1,
            f.Button2, f.Button3, f.Button6};
}

} // namespace

void TForm4::ShowConnected()
{
    for (QWidget *control : connectionControls(*this))
        control->setEnabled(true);
    if (Tag(Button11) != 0)
        Button11->setEnabled(true);
    Button1->setText(QStringLiteral("Disconnect"));
    Button9->setText(QStringLiteral("Disconnect"));
    Label13->setText(kStatusConnected);
    Label14->setText(kStatusConnected);
    SetTag(Button1, 1);
    PageChangeAllowed = PageControl1->currentIndex() == 1;
}

void TForm4::ShowDisconnected()
{
    for (QWidget *control : connectionControls(*this))
        control->setEnabled(false);
    Button11->setEnabled(false);
    Button1->setText(QStringLiteral("Search and connect"));
    Button9->setText(QStringLiteral("Search and connect"));
    Label13->clear();
    Label14->clear();
    SetLamps(palette().color(QPalette::Disabled, QPalette::WindowText));
    SetTag(Button1, 0);
    PageChangeAllowed = true;
}

void TForm4::SetLamps(const QColor &color)
{
    Shape1->setBrushColor(color);
    Shape2->setBrushColor(color);
}

void TForm4::SetMainWindowEnabled(bool enabled)
{
    centralWidget()->setEnabled(enabled);
    if (enabled) {
        activateWindow();
        setFocus();
    }
}

// ---- header links, exit, close ----------------------------------------------

void TForm4::Label11Click()
{
    prompts().ShellOpen(QUrl(QStringLiteral("http://") + kWebAddress));
}

void TForm4::Label12Click()
{
    prompts().ShellOpen(QUrl(QStringLiteral("mailto:") + kMailAddress));
}

void TForm4::Button4Click()
{
    close();
}

void TForm4::closeEvent(QCloseEvent *event)
{
    // A step of the worker that processes pending events (the progress
    // steps do) can deliver this close. Ending the worker from inside its
    // own step would wait for a worker that waits for the step: the close
    // is taken up again once the step has returned. Not at once: a step
    // that shows a message runs its own loop until the box is closed.
    if (devlink::Worker && devlink::Worker->InHandedStep()) {
        event->ignore();
        QTimer::singleShot(50, this, &QWidget::close);
        return;
    }
    if (!m_closed) {
        m_closed = true;
        FormClose();
    }
    event->accept();
}

void TForm4::FormClose()
{
    // A link-up sequence waiting inside this call's event loop gives up
    // without a message, and so does the worker watching it.
    Meter->Abandon();
    if (devlink::Worker)
        devlink::Worker->Shutdown();
    ItemList.clear();
    for (QWidget *dialog : std::initializer_list<QWidget *>{Form5, Form7, Form8})
        if (dialog)
            dialog->hide();
}

} // namespace app
