#pragma once
// Program entry, shared by the executable and the end-to-end tests: builds the
// link component, the five windows in their order, runs start-up.

#include <QString>

#include <memory>

namespace devlink {
class TBluetoothLE;
}

namespace app {

class TForm4;

// Everything program entry creates, released in reverse order.
struct Program {
    std::unique_ptr<devlink::TBluetoothLE> component;
    std::unique_ptr<TForm4> mainWindow;
    ~Program();
};

// Creates the windows and runs start-up with the configuration beside the
// executable (or `configPath` when given). Returns the exit code to end with
// when start-up failed (the reason has been shown), else 0 with `program`
// ready and the main window shown.
int StartProgram(Program &program, const QString &linkSetting, const QString &configPath);

} // namespace app
