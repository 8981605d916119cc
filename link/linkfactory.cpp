#include "link/linkfactory.h"

#include "link/qtbluetoothle.h"
#include "link/vlinkbluetoothle.h"

namespace devlink {

std::unique_ptr<TBluetoothLE> CreateLinkComponent(const QString &setting, QString *error)
{
    if (setting.isEmpty())
        return std::make_unique<QtBluetoothLE>();
    QList<VLinkEndpoint> endpoints;
    if (VLinkBluetoothLE::ParseEndpoints(setting, &endpoints))
        return std::make_unique<VLinkBluetoothLE>(endpoints);
    *error = QStringLiteral("Unknown TARVOLIN_LINK value: %1").arg(setting);
    return nullptr;
}

} // namespace devlink
