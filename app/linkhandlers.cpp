// "Search and connect" and the link component's events. The link-up sequence
// and the handlers' work live in the link object (link/meterlink.*); the
// window only forwards to it, so the command-line tool runs the same code.
#include "app/mainform.h"

#include "link/bt.h"
#include "link/meterlink.h"
#include "views/widgets.h"

#include <QPushButton>

namespace app {

using views::Tag;

void TForm4::Button1Click()
{
    if (Tag(Button1) != 0) {
        if (devlink::Worker)
            devlink::Worker->RequestDisconnect();
        return;
    }
    // During a firmware upload the buttons read "Search and connect", but
    // the meter is connected and busy: only an idle worker starts a link-up.
    if (devlink::Worker && devlink::Worker->CurrentState() != devlink::Idle)
        return;
    Meter->SearchAndConnect();
}

void TForm4::AssignLinkHandlers()
{
    using namespace std::placeholders;
    devlink::TBluetoothLE &vorelt = *Meter->vorelt;
    vorelt.OnCharacteristicRead = std::bind(&TForm4::voreltCharacteristicRead, this, _1, _2, _3, _4);
    vorelt.OnCharacteristicWrite = std::bind(&TForm4::voreltCharacteristicWrite, this, _1, _2, _3);
    vorelt.OnDiscoverLEDevice = std::bind(&TForm4::voreltDiscoverLEDevice, this, _1, _2, _3, _4);
    vorelt.OnEndDiscoverServices = std::bind(&TForm4::voreltEndDiscoverServices, this, _1, _2);
}

void TForm4::voreltDiscoverLEDevice(devlink::TBluetoothLE *sender, devlink::TBluetoothLEDevice *device,
                                    int rssi, const QByteArray &scanResponse)
{
    Meter->DeviceSeen(sender, device, rssi, scanResponse);
}

void TForm4::voreltEndDiscoverServices(devlink::TBluetoothLE *sender,
                                       const QList<devlink::TBluetoothGattService *> &services)
{
    Meter->ServicesListed(sender, services);
}

void TForm4::voreltCharacteristicRead(devlink::TBluetoothLE *sender,
                                      devlink::TBluetoothGattCharacteristic *characteristic,
                                      const QByteArray &value, int gattStatus)
{
    Meter->NotificationArrived(sender, characteristic, value, gattStatus);
}

void TForm4::voreltCharacteristicWrite(devlink::TBluetoothLE *sender,
                                       devlink::TBluetoothGattCharacteristic *characteristic,
                                       int gattStatus)
{
    Meter->WriteCompleted(sender, characteristic, gattStatus);
}

} // namespace app
