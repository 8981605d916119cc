#pragma once
// "Choose meter": which of the meters in reach "Search and connect" is to
// take. The dialog scans with a component of its own for a few seconds
// (devlink::MeterScan), lists each meter once, strongest first, and never
// connects. The first row, "Any meter (the first one found)", ends the
// pinning.

#include "link/bluetoothle.h"

#include <QDialog>

#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace devlink {
class MeterScan;
}

namespace app {

class ChooseMeterDialog final : public QDialog {
    Q_OBJECT
public:
    // Starts the scan at once. `pinned`: the address chosen now (empty: any
    // meter), the row selected and kept while the list changes.
    ChooseMeterDialog(QWidget *owner, std::unique_ptr<devlink::TBluetoothLE> component, const QString &pinned);
    ~ChooseMeterDialog() override;

    // The address of the selected row; empty for "Any meter".
    QString Choice() const;
    // "Scan again".
    void Rescan();
    void done(int result) override; // the scan ends with the dialog

    static const QString AnyMeter;

    QTreeWidget *Meters;     // address, signal
    QProgressBar *Scanning;  // the sign that the scan runs
    QLabel *ScanState;
    QPushButton *ScanAgain;
    QPushButton *OkButton;
    QPushButton *CancelButton;

private:
    void ShowRows();
    void ShowScanState();

    devlink::MeterScan *const m_scan;
    const QString m_pinned;
    // The row the user selected last (or the pinned one): selected again
    // whenever it is listed, also after a new scan has emptied the list.
    QString m_wanted;
    QString m_scanError;
};

} // namespace app
