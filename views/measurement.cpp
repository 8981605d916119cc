// The Measurement page: the table `meas` of received records, the record
// panel `current`, "Read" with its "Select range" dialog, and "Save" as CSV
// or workbook.
#include "views/measurement.h"

#include "data/platform.h"
#include "views/prompts.h"
#include "views/widgets.h"
#include "link/bt.h"
#include "protocol/downloadrange.h"
#include "data/csv.h"
#ifdef TARVOLIN_CHARTS
#include "views/chartwindow.h"
#endif
#include "views/devicedata.h"
#include "views/gridsizing.h"
#include "data/meastable.h"
#include "data/workbook.h"
#include "views/savefile.h"
#include "views/selrange.h"

#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace views {

void MeasurementPage::BuildMeasurementPage(QWidget *page)
{
    auto *column = new QVBoxLayout(page);
    Panel3 = new QWidget(page);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    column->addWidget(Panel3, 1);
    Panel3->installEventFilter(new EventHook(
        [this](QObject *, QEvent *event) {
            if (event->type() == QEvent::Resize)
                PlaceMeasurementGrids();
            return false;
        },
        Panel3));

    current = new QTableWidget(0, 2, Panel3);
    current->setObjectName(QStringLiteral("current"));
    current->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Measurements = new data::MeasTable(m_owner);
    meas = new FixedRowTable(Panel3);
    meas->setObjectName(QStringLiteral("meas"));
    meas->setModel(Measurements);
    meas->setEditTriggers(QAbstractItemView::NoEditTriggers);
    meas->setSelectionBehavior(QAbstractItemView::SelectRows);
    meas->setSelectionMode(QAbstractItemView::ContiguousSelection);
    for (QTableView *table : {static_cast<QTableView *>(meas), static_cast<QTableView *>(current)}) {
        table->verticalHeader()->setDefaultSectionSize(GridRowHeight(table->fontMetrics(), 16));
        table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        table->horizontalHeader()->hide();
        table->horizontalHeader()->setMinimumSectionSize(1);
        table->verticalHeader()->hide();
        UseGridTextInset(table);
    }
    meas->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(meas, &QWidget::customContextMenuRequested, m_owner,
                     [this](const QPoint &pos) { Guarded([&] { measContextPopup(pos); }); });
    QObject::connect(meas->selectionModel(), &QItemSelectionModel::currentRowChanged, m_owner,
            [this](const QModelIndex &now) {
                bool canSelect = true;
                Guarded([&] { measSelectCell(now.column(), now.row(), canSelect); });
            });

    auto *bottom = new QHBoxLayout;
    Shape2 = new Lamp(page);
    Shape2->setObjectName(QStringLiteral("Shape2"));
    Label14 = new QLabel(QStringLiteral("Label13"), page);
    Label14->setObjectName(QStringLiteral("Label14"));
    Button9 = new QPushButton(QStringLiteral("Search and connect"), page);
    Button9->setObjectName(QStringLiteral("Button9"));
    Button9->setToolTip(QStringLiteral(
        "Search for regitered Vorelt ZEVQ-25k device and estabilish connection if found and set program to measurement mode"));
    Button10 = new QPushButton(QStringLiteral("Save"), page);
    Button10->setObjectName(QStringLiteral("Button10"));
    Button10->setToolTip(QStringLiteral("Save measurements in the csv format"));
    QObject::connect(Button10, &QPushButton::clicked, m_owner, [this] { Guarded([this] { Button10Click(); }); });
    Button12 = new QPushButton(QStringLiteral("Exit"), page);
    Button12->setObjectName(QStringLiteral("Button12"));
    Button12->setToolTip(QStringLiteral("Exit and disconnect the device"));
    bottom->addWidget(Shape2);
    bottom->addWidget(Label14, 1);
    bottom->addWidget(Button9);
    bottom->addWidget(Button10);
    bottom->addWidget(Button12);
    column->addLayout(bottom);
}

void MeasurementPage::SizeMeasurementGrids()
{
    std::vector<const data::TItem *> shown;
    for (const auto &item : ItemList)
        if (item->IsShown())
            shown.push_back(item.get());
    const int count = static_cast<int>(shown.size());
    const QFontMetrics metrics = meas->fontMetrics();
    const MeasurementGridWidths widths = MeasurementGridWidthsFor(shown, CharacterWidth(metrics));
    QStringList captions;
    std::map<int, int> uses; // width -> columns that have it
    for (int k = 0; k < count; ++k) {
        captions << shown[static_cast<std::size_t>(k)]->Name;
        ++uses[widths.meas[static_cast<std::size_t>(k)]];
    }
    // Each column width set on its own makes the header recount every
    // column's position, so thousands of columns would take seconds: the
    // most common width becomes the default before the columns exist, and
    // only the others are set one by one.
    QHeaderView *header = meas->horizontalHeader();
    if (!uses.empty()) {
        const int common =
            std::max_element(uses.begin(), uses.end(), [](auto &a, auto &b) { return a.second < b.second; })->first;
        header->setDefaultSectionSize(common);
    }
    // A grid keeps at least one column, even without a shown field.
    if (captions.isEmpty())
        captions << QString();
    Measurements->SetCaptions(captions);
    for (int k = 0; k < count; ++k)
        if (widths.meas[static_cast<std::size_t>(k)] != header->defaultSectionSize())
            meas->setColumnWidth(k, widths.meas[static_cast<std::size_t>(k)]);
    // As in the string grid it stands for, row 1 starts selected, so the
    // first record merged shows in `current` at once.
    meas->setCurrentIndex(Measurements->index(1, 0));
    // A grid keeps at least one row.
    current->setRowCount(std::max(count, 1));
    for (int k = 0; k < count; ++k)
        SetCellText(current, 0, k, shown[static_cast<std::size_t>(k)]->Name);
    current->setColumnWidth(0, widths.currentNames);
    current->setColumnWidth(1, widths.currentValues);
    PlaceMeasurementGrids();
}

void MeasurementPage::PlaceMeasurementGrids()
{
    const int currentWidth =
        static_cast<int>(std::min<qint64>(qint64(current->columnWidth(0)) + current->columnWidth(1) + 6, 200000));
    current->setGeometry(0, 0, currentWidth, Panel3->height());
    meas->setGeometry(currentWidth + 1, 0, std::max(Panel3->width() - currentWidth - 1, 0), Panel3->height());
}

// ---- records ------------------------------------------------------------------

void MeasurementPage::MergeRecords(const QList<QStringList> &batch)
{
    // A reading that lands below the visible rows would go unseen.
    meas->RevealRow(Measurements->Merge(batch));
    // `current` shows whatever record now stands in the selected row.
    const QModelIndex selected = meas->selectionModel()->currentIndex();
    bool canSelect = true;
    if (selected.isValid())
        measSelectCell(selected.column(), selected.row(), canSelect);
}

void MeasurementPage::measSelectCell(int, int row, bool &canSelect)
{
    if (row <= 0)
        return;
    canSelect = true;
    const QStringList texts = Measurements->RowTexts(row);
    for (int c = 0; c < texts.size() && c < current->rowCount(); ++c)
        SetCellText(current, 1, c, texts[c]);
}

// ---- Chart -----------------------------------------------------------------------

// Without Qt Charts the chart is the menu's only entry, so there is no menu.
void MeasurementPage::measContextPopup([[maybe_unused]] const QPoint &pos)
{
#ifdef TARVOLIN_CHARTS
    const QModelIndex cell = meas->indexAt(pos);
    if (!cell.isValid() || !ColumnHasNumber(*Measurements, cell.column()))
        return;
    const int column = cell.column();
    auto *menu = new QMenu(meas);
    menu->setObjectName(QStringLiteral("measPopup"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("Chart of %1").arg(Measurements->Cell(column, 0)), m_owner,
                    [this, column] { Guarded([&] { ShowChart(column); }); });
    menu->popup(meas->viewport()->mapToGlobal(pos));
#endif
}

#ifdef TARVOLIN_CHARTS
ChartWindow *MeasurementPage::ShowChart(int column)
{
    QPointer<ChartWindow> &window = m_charts[column];
    if (!window)
        window = new ChartWindow(*Measurements, column, m_owner);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}
#endif

// ---- Read -----------------------------------------------------------------------

void MeasurementPage::Button11Click()
{
    // The request frame carries the whole page: refuse what "Send
    // parameters" would refuse rather than encode garbage.
    DeviceDataPage &page = m_deviceData;
    if (!page.ValidateRangeMapping()) {
        prompts().MessageBeep(16);
        return;
    }
    page.CheckPageCollectable();
    const int last = protocol::LastOfferedRecord(IntegerValue(page.Edit2->text()));
    if (last <= 0)
        return;
    QStringList numbers;
    numbers.reserve(last);
    for (int n = 1; n <= last; ++n)
        numbers << QString::number(n);
    TForm1 *dialog = Form1;
    for (QComboBox *list : {dialog->ComboBox1, dialog->ComboBox2}) {
        list->clear();
        list->addItems(numbers); // one call: 65,535 entries must not freeze the window
        list->setCurrentIndex(last - 1);
    }
    if (prompts().RunModal(dialog) != 1)
        return;
    const protocol::DownloadRange range = protocol::OrderedRange(dialog->ComboBox1->currentIndex() + 1,
                                                                 dialog->ComboBox2->currentIndex() + 1);
    const QString refusal = protocol::DownloadRangeRefusal(range, RecordSize);
    if (!refusal.isEmpty()) {
        prompts().Message(m_owner, refusal, QStringLiteral("Error"), MessageIcon::Error);
        return;
    }
    page.RangeFrom = range.from;
    page.RangeTo = range.to;
    if (!devlink::Worker)
        return;
    devlink::Worker->DownloadMode = true;
    devlink::Worker->RequestTransfer();
}

// ---- Save -----------------------------------------------------------------------

void MeasurementPage::Button10Click()
{
    FileDialogOptions options;
    options.title = QStringLiteral("Save as CSV");
    options.filter = QStringLiteral("CSV file (*.csv);;Excel workbook (*.xlsx)");
    options.defaultExtension = QStringLiteral("CSV");
    options.promptOverwrite = true;
    // The name decides the format, as it does for the command-line tool.
    SaveThroughDialog(m_owner, options, [this](const QString &fileName) {
        if (!data::IsWorkbookName(fileName))
            return data::CsvBytes(*Measurements, data::ListSeparator());
        QByteArray bytes;
        QString error;
        if (!data::WorkbookBytes(*Measurements, &bytes, &error))
            throw std::runtime_error(QStringLiteral("Cannot create file \"%1\". %2")
                                         .arg(QDir::toNativeSeparators(QFileInfo(fileName).absoluteFilePath()), error)
                                         .toStdString());
        return bytes;
    });
}

} // namespace views
