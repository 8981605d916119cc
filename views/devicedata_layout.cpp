// The controls of the "Device data" page and the wiring of the page's own
// handlers. "Search and connect", "Read" and "Exit" are wired by the
// window's frame.

#include "views/prompts.h"
#include "views/widgets.h"
#include "views/devicedata.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace views {

namespace {

// Bold "Courier New"; where it is missing, any monospace face.
QFont PageFont(const QFont &base)
{
    QFont font = base;
    font.setFamilies({QStringLiteral("Courier New")});
    font.setStyleHint(QFont::Monospace, QFont::PreferMatch);
    font.setBold(true);
    return font;
}

template <typename W> W *Named(W *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QPushButton *MakeButton(QWidget *page, const char *name, const QString &caption,
                        const QString &hint)
{
    auto *button = Named(new QPushButton(caption, page), name);
    button->setToolTip(hint);
    return button;
}

QComboBox *MakeList(QWidget *page, const char *name, const QFont &font, int minimumChars)
{
    auto *list = Named(new QComboBox(page), name);
    list->setEditable(false);
    list->setFont(font);
    list->setMinimumContentsLength(minimumChars);
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    return list;
}

QLineEdit *MakeEdit(QWidget *page, const char *name, const QFont &font)
{
    auto *edit = Named(new QLineEdit(page), name);
    edit->setFont(font);
    return edit;
}

} // namespace

void DeviceDataPage::BuildDeviceDataPage(QWidget *page)
{
    const QFont font = PageFont(page->font());

    Edit1 = MakeEdit(page, "Edit1", font);
    Edit2 = MakeEdit(page, "Edit2", font);
    Edit3 = MakeEdit(page, "Edit3", font);
    Edit4 = MakeEdit(page, "Edit4", font);
    for (QLineEdit *edit : {Edit1, Edit2, Edit3})
        edit->setText(QStringLiteral("0"));
    Edit2->setEnabled(false);
    Edit4->setMaxLength(45);
    CheckBox1 = Named(new QCheckBox(QStringLiteral("Measurements printout"), page), "CheckBox1");

    ComboBox1 = MakeList(page, "ComboBox1", font, 4);
    ComboBox2 = MakeList(page, "ComboBox2", font, 2);
    ComboBox3 = MakeList(page, "ComboBox3", font, 2);
    ComboBox4 = MakeList(page, "ComboBox4", font, 4);
    ComboBox5 = MakeList(page, "ComboBox5", font, 2);
    ComboBox6 = MakeList(page, "ComboBox6", font, 2);
    ComboBox7 = MakeList(page, "ComboBox7", font, 4);
    ComboBox8 = MakeList(page, "ComboBox8", font, 2);
    ComboBox9 = MakeList(page, "ComboBox9", font, 2);
    ComboBox10 = MakeList(page, "ComboBox10", font, 3);

    BuildRangeGrid(page, font);

    Button1 = MakeButton(page, "Button1", QStringLiteral("Search and connect"),
                         QStringLiteral("Search for regitered Vorelt ZEVQ-25k device and "
                                        "estabilish connection if found"));
    Button2 = MakeButton(page, "Button2", QStringLiteral("Send parameters"),
                         QStringLiteral("Uplads current setting to the device"));
    Button3 = MakeButton(page, "Button3", QStringLiteral("Send data"),
                         QStringLiteral("Uploads firmware to the device"));
    Button4 = MakeButton(page, "Button4", QStringLiteral("Exit"),
                         QStringLiteral("Exit and disconnect device"));
    Button5 = MakeButton(page, "Button5", QStringLiteral("Reset"),
                         QStringLiteral("Clear settings to the predefined state"));
    Button6 = MakeButton(page, "Button6", QStringLiteral("Revert"),
                         QStringLiteral("Restore oryginal settings acquired after "
                                        "estabilishing the connection"));
    Button7 = MakeButton(page, "Button7", QStringLiteral("Save defaults"),
                         QStringLiteral("Save current settings to the file"));
    Button8 = MakeButton(page, "Button8", QStringLiteral("Load defaults"),
                         QStringLiteral("Load settings ftom the file"));
    Button11 = MakeButton(page, "Button11", QStringLiteral("Read"),
                          QStringLiteral("Dowloand measurements from the device"));
    SetTag(Button11, 0);
    Shape1 = Named(new Lamp(page), "Shape1");
    Label13 = Named(new QLabel(page), "Label13");

    LayOutDeviceDataPage(page);
    ConnectDeviceDataHandlers();
}

void DeviceDataPage::BuildRangeGrid(QWidget *page, const QFont &font)
{
    StringGrid1 = Named(new QTableWidget(GridRows, GridColumns, page), "StringGrid1");
    StringGrid1->setFont(font);
    StringGrid1->horizontalHeader()->hide();
    StringGrid1->verticalHeader()->hide();
    for (QHeaderView *header : {StringGrid1->horizontalHeader(), StringGrid1->verticalHeader()}) {
        header->setMinimumSectionSize(1);
        header->setSectionResizeMode(QHeaderView::Fixed);
    }
    const int columnWidth = RangeGridColumnWidth(StringGrid1->fontMetrics());
    const int rowHeight = RangeGridRowHeight(StringGrid1->fontMetrics());
    StringGrid1->horizontalHeader()->setDefaultSectionSize(columnWidth);
    StringGrid1->verticalHeader()->setDefaultSectionSize(rowHeight);
    StringGrid1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StringGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    StringGrid1->setSelectionBehavior(QAbstractItemView::SelectItems);
    StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid1->setTabKeyNavigation(false);
    // Fixed cells can neither become current nor be edited; data cells can.
    for (int r = 0; r < GridRows; ++r) {
        for (int c = 0; c < GridColumns; ++c) {
            auto *item = new QTableWidgetItem;
            if (r == 0 || c == 0)
                item->setFlags(Qt::NoItemFlags);
            else
                item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
            StringGrid1->setItem(r, c, item);
        }
    }
    StringGrid1->setItemDelegate(new RangeGridDelegate(this, StringGrid1));
    const int frame = 2 * StringGrid1->frameWidth();
    StringGrid1->setFixedSize(GridColumns * columnWidth + frame, GridRows * rowHeight + frame);
}

void DeviceDataPage::LayOutDeviceDataPage(QWidget *page)
{
    auto *column = new QVBoxLayout(page);
    auto *fields = new QGridLayout;
    const auto label = [page](const char *text) { return new QLabel(QLatin1String(text), page); };
    fields->addWidget(label("Serial No."), 0, 0);
    fields->addWidget(Edit1, 0, 1);
    fields->addWidget(label("Usage count"), 1, 0);
    fields->addWidget(Edit2, 1, 1);
    fields->addWidget(label("Calibration coefficient"), 2, 0);
    fields->addWidget(Edit3, 2, 1);
    fields->addWidget(CheckBox1, 3, 1);
    const auto dateRow = [&](int row, const char *text, QComboBox *y, QComboBox *m, QComboBox *d) {
        fields->addWidget(label(text), row, 3);
        auto *lists = new QHBoxLayout;
        lists->addWidget(y);
        lists->addWidget(m);
        lists->addWidget(d);
        lists->addStretch(1);
        fields->addLayout(lists, row, 4);
    };
    dateRow(0, "Date of manufacture", ComboBox1, ComboBox2, ComboBox3);
    dateRow(1, "Date of characteristics", ComboBox4, ComboBox5, ComboBox6);
    dateRow(2, "Date of service", ComboBox7, ComboBox8, ComboBox9);
    fields->setColumnMinimumWidth(2, 16);
    fields->setColumnStretch(4, 1);
    fields->addWidget(label("Info"), 4, 0);
    fields->addWidget(Edit4, 4, 1, 1, 4);
    column->addLayout(fields);

    auto *ranges = new QHBoxLayout;
    ranges->addWidget(label("No. of active ranges"));
    ranges->addWidget(ComboBox10);
    ranges->addSpacing(12);
    ranges->addWidget(Button7);
    ranges->addWidget(Button8);
    ranges->addWidget(Button5);
    ranges->addStretch(1);
    ranges->addWidget(Button2);
    ranges->addWidget(Button6);
    column->addLayout(ranges);
    column->addWidget(label("Range mapping"));
    column->addWidget(StringGrid1, 0, Qt::AlignLeft);
    column->addStretch(1);

    auto *bottom = new QHBoxLayout;
    bottom->addWidget(Shape1);
    bottom->addWidget(Label13, 1);
    bottom->addWidget(Button1);
    bottom->addWidget(Button3);
    bottom->addWidget(Button11);
    bottom->addWidget(Button4);
    column->addLayout(bottom);
}

void DeviceDataPage::ConnectDeviceDataHandlers()
{
    auto *editHook = new EventHook(
        [this](QObject *edit, QEvent *event) {
            if (event->type() == QEvent::FocusOut)
                Guarded([&] { Edit1Exit(edit); });
            bool discarded = false;
            Guarded([&] {
                discarded = KeyIsDiscarded(
                    event, [&](QChar &key) { Edit1KeyPress(edit, key); });
            });
            return discarded;
        },
        m_owner);
    Edit1->installEventFilter(editHook);
    Edit3->installEventFilter(editHook);

    for (QComboBox *list : {ComboBox1, ComboBox2, ComboBox3, ComboBox4, ComboBox5, ComboBox6,
                            ComboBox7, ComboBox8, ComboBox9}) {
        QObject::connect(list, &QComboBox::currentIndexChanged, m_owner,
                [this, list] { Guarded([&] { ComboBox4Change(list); }); });
    }
    QObject::connect(ComboBox10, &QComboBox::currentIndexChanged, m_owner,
            [this] { Guarded([&] { ComboBox10Click(); }); });
    QObject::connect(StringGrid1, &QTableWidget::currentCellChanged, m_owner,
            [this] { Guarded([&] { StringGrid1Click(); }); });

    const auto onClick = [this](QPushButton *button, void (DeviceDataPage::*handler)()) {
        QObject::connect(button, &QPushButton::clicked, m_owner,
                [this, handler] { Guarded([&] { (this->*handler)(); }); });
    };
    onClick(Button2, &DeviceDataPage::Button2Click);
    onClick(Button3, &DeviceDataPage::Button3Click);
    onClick(Button5, &DeviceDataPage::Button5Click);
    onClick(Button6, &DeviceDataPage::Button6Click);
    onClick(Button7, &DeviceDataPage::Button7Click);
    onClick(Button8, &DeviceDataPage::Button8Click);
}

} // namespace views
