#include "link/mainthreadpoke.h"

#include <QMetaObject>

namespace devlink {

void MainThreadPoke::Poke()
{
    // Queued by name: the call carries nothing but the slot's index.
    QMetaObject::invokeMethod(this, "Run", Qt::QueuedConnection);
}

} // namespace devlink
