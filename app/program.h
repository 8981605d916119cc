#pragma once
// Program entry, shared by the executable and the end-to-end tests: builds the
// link component, the five windows in their order, runs start-up.

#include <QString>

#include <memory>

namespace app {

class TForm4;

// The program as its title, the trace's header and the About box name it.
inline constexpr char ProgramName[] = "Tarvolin 2.2";

// Everything program entry creates. The main window owns the link and its
// Bluetooth LE component.
struct Program {
    std::unique_ptr<TForm4> mainWindow;
    ~Program();
};

// Creates the windows and runs start-up with the configuration beside the
// executable (or `configPath` when given). Returns the exit code to end with
// when start-up failed (the reason has been shown), else 0 with `program`
// ready and the main window shown.
int StartProgram(Program &program, const QString &linkSetting, const QString &configPath);

} // namespace app
