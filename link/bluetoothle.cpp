#include "link/bluetoothle.h"

namespace devlink {

void TBluetoothLE::SetEnabled(bool enabled)
{
    if (enabled == Enabled())
        return;
    if (enabled) {
        m_platformError.clear();
        OpenSession();
        m_enabled = true;
    } else {
        // Cleared first so nothing the close triggers is delivered any more.
        m_enabled = false;
        CloseSession();
    }
}

void TBluetoothLE::ReportPlatformError(const QString &error)
{
    if (m_platformError.isEmpty())
        m_platformError = error;
}

} // namespace devlink
