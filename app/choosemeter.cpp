#include "app/choosemeter.h"

#include "link/meterlink.h"
#include "link/meterscan.h"
#include "protocol/timings.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace app {

const QString ChooseMeterDialog::AnyMeter = QStringLiteral("Any meter (the first one found)");

namespace {

constexpr int AddressRole = Qt::UserRole;

} // namespace

ChooseMeterDialog::ChooseMeterDialog(QWidget *owner, std::unique_ptr<devlink::TBluetoothLE> component,
                                     const QString &pinned)
    : QDialog(owner), m_scan(new devlink::MeterScan(std::move(component), this)), m_pinned(pinned),
      m_wanted(pinned)
{
    setObjectName(QStringLiteral("ChooseMeter"));
    setWindowTitle(QStringLiteral("Choose meter"));
    resize(380, 260);

    Meters = new QTreeWidget(this);
    Meters->setObjectName(QStringLiteral("Meters"));
    Meters->setHeaderLabels({QStringLiteral("Meter"), QStringLiteral("Signal")});
    Meters->setRootIsDecorated(false);
    Meters->setSelectionMode(QAbstractItemView::SingleSelection);
    Meters->header()->setStretchLastSection(false);
    Meters->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    Meters->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);

    Scanning = new QProgressBar(this);
    Scanning->setRange(0, 0); // busy: it moves for as long as the scan runs
    Scanning->setTextVisible(false);
    Scanning->setMaximumHeight(12);
    ScanState = new QLabel(this);
    ScanAgain = new QPushButton(QStringLiteral("Scan again"), this);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    OkButton = buttons->button(QDialogButtonBox::Ok);
    CancelButton = buttons->button(QDialogButtonBox::Cancel);

    auto *state = new QHBoxLayout;
    state->addWidget(ScanState, 1);
    state->addWidget(Scanning, 1);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(ScanAgain);
    bottom->addStretch(1);
    bottom->addWidget(buttons);
    auto *column = new QVBoxLayout(this);
    column->addWidget(Meters, 1);
    column->addLayout(state);
    column->addLayout(bottom);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(ScanAgain, &QPushButton::clicked, this, &ChooseMeterDialog::Rescan);
    connect(Meters, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *item) {
        if (item)
            m_wanted = item->data(0, AddressRole).toString();
    });
    connect(Meters, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(m_scan, &devlink::MeterScan::Changed, this, &ChooseMeterDialog::ShowRows);
    connect(m_scan, &devlink::MeterScan::Finished, this, &ChooseMeterDialog::ShowScanState);
    Rescan();
}

ChooseMeterDialog::~ChooseMeterDialog() = default;

QString ChooseMeterDialog::Choice() const
{
    const QTreeWidgetItem *item = Meters->currentItem();
    return item ? item->data(0, AddressRole).toString() : QString();
}

void ChooseMeterDialog::Rescan()
{
    m_scanError.clear();
    if (!m_scan->Start(protocol::CurrentTimings().chooseScanMs, &m_scanError) && m_scanError.isEmpty())
        m_scanError = QStringLiteral("The scan did not start.");
    ShowRows();
    ShowScanState();
}

void ChooseMeterDialog::done(int result)
{
    m_scan->Stop();
    QDialog::done(result);
}

// The rows afresh, the selection on the wanted address where it is listed.
void ChooseMeterDialog::ShowRows()
{
    const QSignalBlocker quiet(Meters);
    Meters->clear();
    auto *any = new QTreeWidgetItem(Meters, {AnyMeter, QString()});
    any->setData(0, AddressRole, QString());
    QTreeWidgetItem *selected = any;
    for (const devlink::SeenDevice &meter : devlink::MeterRows(m_scan->Seen(), m_pinned)) {
        auto *row = new QTreeWidgetItem(Meters, {meter.address, devlink::SignalText(meter.rssi)});
        row->setData(0, AddressRole, meter.address);
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        if (!m_wanted.isEmpty() && devlink::AddressMatches(m_wanted, meter.address))
            selected = row;
    }
    Meters->setCurrentItem(selected);
}

void ChooseMeterDialog::ShowScanState()
{
    const bool scanning = m_scan->Scanning();
    Scanning->setVisible(scanning);
    ScanAgain->setEnabled(!scanning);
    if (scanning) {
        ScanState->setText(QStringLiteral("Scanning..."));
    } else if (!m_scanError.isEmpty()) {
        ScanState->setText(QStringLiteral("BT LE module not enabled or not installed"));
        ScanState->setToolTip(m_scanError);
    } else {
        qsizetype found = 0;
        for (const devlink::SeenDevice &s : m_scan->Seen())
            found += s.IsMeter() ? 1 : 0;
        ScanState->setText(found == 1 ? QStringLiteral("1 meter found") : QStringLiteral("%1 meters found").arg(found));
    }
}

} // namespace app
