// Start-up of the main window: configuration, grids, lists, worker.
#include "app/mainform.h"

#include "data/config.h"
#include "data/platform.h"
#include "views/prompts.h"
#include "app/windowview.h"
#include "link/bt.h"
#include "link/meterlink.h"
#include "views/devicedata.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QTableWidget>

#include <algorithm>

namespace app {

using views::MessageIcon;
using views::prompts;

namespace {

void fillNumbers(QComboBox *list, int from, int to)
{
    QStringList items;
    for (int v = from; v <= to; ++v)
        items << QString::number(v);
    list->clear();
    list->addItems(items);
}

} // namespace

bool TForm4::FormCreate(const QString &configPath)
{
    PageChangeAllowed = true;
    if (!QFileInfo::exists(configPath)) {
        devlink::Worker = nullptr;
        prompts().Message(nullptr, QStringLiteral("Missing configuration file"),
                          QStringLiteral("Error"), MessageIcon::Error);
        return false;
    }
    data::FieldList fields;
    QString error;
    if (!data::LoadFieldList(configPath, fields, &error)) {
        prompts().Message(nullptr, error, QStringLiteral("Error"), MessageIcon::Error);
        return false;
    }
    ItemList = std::move(fields.items);
    RecordSize = fields.recordSize;
    ConfigPath = configPath;
    protocol::Trace::Describe(TraceOrigin());
    SizeMeasurementGrids();
    FillDeviceDataLists();
    ShowDisconnected();

    // Stored in the global reference before it starts, so no request can
    // reach a missing worker.
    devlink::Worker = new devlink::BT(Meter.get(), View.get(), RecordSize, data::RecordLayout(ItemList));
    devlink::Worker->ConfigPath = QDir::toNativeSeparators(QFileInfo(configPath).absoluteFilePath());
    Meter->Serve(devlink::Worker);
    devlink::Worker->start();
    return true;
}


void TForm4::FillDeviceDataLists()
{
    for (int c = 1; c <= 20; ++c)
        views::SetCellText(StringGrid1, c, 0, QString::number((c - 1) % 10));
    for (int r = 1; r <= 9; ++r)
        views::SetCellText(StringGrid1, 0, r, QString::number(20 * (r - 1)));

    const QDate today = data::TodayLocal();
    for (QComboBox *year : {ComboBox1, ComboBox4, ComboBox7}) {
        fillNumbers(year, 2000, std::max(today.year(), 2000));
        year->setCurrentIndex(year->count() - 1);
    }
    for (QComboBox *month : {ComboBox2, ComboBox5, ComboBox8}) {
        fillNumbers(month, 1, 12);
        month->setCurrentIndex(today.month() - 1);
    }
    fillNumbers(ComboBox10, 1, 180);
    ComboBox10->setCurrentIndex(0);
    FillDayList(ComboBox1, ComboBox2, ComboBox3);
    FillDayList(ComboBox4, ComboBox5, ComboBox6);
    FillDayList(ComboBox7, ComboBox8, ComboBox9);
    for (QComboBox *day : {ComboBox3, ComboBox6, ComboBox9})
        day->setCurrentIndex(std::min(today.day(), day->count()) - 1);
    Edit1->setText(QStringLiteral("0"));
}

} // namespace app
