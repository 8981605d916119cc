#pragma once
// A main window for page tests: built and its lists filled as start-up
// would, on a fixed clock, without a worker or a link.

#include "app/mainform.h"
#include "data/platform.h"
#include "link/bluetoothle.h"
#include "views/devicedata.h"

#include <QComboBox>
#include <QDateTime>
#include <QTableWidget>
#include <QTimeZone>

#include <memory>

namespace testsupport {

// A link component that never finds anything.
class NoLink final : public devlink::TBluetoothLE {
public:
    bool DiscoverDevices(int, QString *error) override
    {
        if (error)
            *error = QStringLiteral("no adapter");
        return false;
    }
    void CancelDiscovery() override {}
    void DiscoverServices(devlink::TBluetoothLEDevice *) override {}
    void GetCharacteristics(devlink::TBluetoothGattService *) override {}
    bool SubscribeToCharacteristic(devlink::TBluetoothLEDevice *,
                                   devlink::TBluetoothGattCharacteristic *) override
    {
        return false;
    }
    bool WriteCharacteristic(devlink::TBluetoothLEDevice *,
                             devlink::TBluetoothGattCharacteristic *) override
    {
        return false;
    }

protected:
    void OpenSession() override {}
    void CloseSession() override {}
};

// 23:30 UTC on 10 June 2024: the local date may already be the 11th, the
// UTC date is the 10th.
inline QDateTime FixedNow()
{
    return QDateTime(QDate(2024, 6, 10), QTime(23, 30), QTimeZone::utc());
}

struct PageForm {
    std::unique_ptr<app::TForm4> form;

    PageForm()
    {
        data::SetClock([] { return FixedNow(); });
        form = std::make_unique<app::TForm4>(std::make_unique<NoLink>());
        form->FillDeviceDataLists();
    }
    ~PageForm()
    {
        form.reset();
        data::SetClock({});
    }
    app::TForm4 *operator->() const { return form.get(); }

    QString cell(int column, int row) const { return views::CellText(form->StringGrid1, column, row); }
    void setCell(int column, int row, const QString &text)
    {
        views::SetCellText(form->StringGrid1, column, row, text);
    }
    QString entry(int e) const { return cell(views::EntryColumn(e), views::EntryRow(e)); }
    void setEntry(int e, const QString &text)
    {
        setCell(views::EntryColumn(e), views::EntryRow(e), text);
    }
    // Sets the number of active ranges as the user would (the change handler runs).
    void setActiveCount(int count) { form->ComboBox10->setCurrentIndex(count - 1); }
};

} // namespace testsupport
