#pragma once
// Chooses the Bluetooth LE component at start from TARVOLIN_LINK:
// unset or empty -> the machine's real stack; "vlink:HOST:PORT[,...]" -> the
// virtual link to simulated meters. Anything else is refused.

#include "link/bluetoothle.h"

#include <memory>

namespace devlink {

// Null with `error` set ("Unknown TARVOLIN_LINK value: <value>") when the
// value is not understood.
std::unique_ptr<TBluetoothLE> CreateLinkComponent(const QString &setting, QString *error);

} // namespace devlink
