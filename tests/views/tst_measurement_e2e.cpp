// The Measurement page against the simulated meter over the virtual link:
// live readings, downloads through "Read" and "Select range", and "Save".

#include "tests/support/e2esteps.h"
#include "data/platform.h"
#include "views/widgets.h"
#include "views/devicedata.h"
#include "views/gridsizing.h"
#include "data/meastable.h"
#ifdef TARVOLIN_CHARTS
#include "views/chartwindow.h"
#endif
#include "views/selrange.h"
#include "tests/support/testfiles.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QProgressBar>
#include <QStyle>
#include <QTabBar>
#include <QTableView>
#include <QTableWidget>

#include <cmath>

using protocol::ParameterBlock;
using testsupport::ConnectedTo;
using testsupport::EndToEnd;
using testsupport::ReadRange;
using testsupport::RecordTexts;

namespace {

const QString &kLost = testsupport::LostMessage;

QStringList TableRow(const app::TForm4 &f, int row)
{
    return f.Measurements->RowTexts(row);
}

QStringList CurrentPanel(const app::TForm4 &f)
{
    QStringList texts;
    for (int r = 0; r < f.current->rowCount(); ++r)
        texts << views::CellText(f.current, 1, r);
    return texts;
}

// Counts how often the progress dialog was shown, and what it said then.
class ShowWatch final : public QObject {
public:
    explicit ShowWatch(QWidget *watched) { watched->installEventFilter(this); }
    ~ShowWatch() override
    {
        if (app::Form7)
            app::Form7->removeEventFilter(this);
    }
    int shows = 0;
    QString label;
    int maximum = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            ++shows;
            label = app::Form7->Label1->text();
            maximum = app::Form7->ProgressBar1->maximum();
        }
        return false;
    }
};

// The sample configuration shipped beside the program.
QByteArray SampleConfiguration()
{
    QFile file(QStringLiteral(TARVOLIN_SAMPLE_CONFIG));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether `text` shows whole in a cell `width` pixels wide: the style
// elides a text wider than the cell less its grid line and its text margin
// on both sides.
bool Fits(const QAbstractItemView *grid, const QString &text, int width)
{
    const int margin = grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1;
    return std::ceil(QFontMetricsF(grid->font()).horizontalAdvance(text)) <= width - 1 - 2 * margin;
}

enum Fault { NoFault, Repeat3, Repeat4, RefusedWithZero, ReplyShort };

} // namespace

class TestMeasurementEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void liveReading_data()
    {
        QTest::addColumn<bool>("answered");
        QTest::newRow("answered") << true;
        QTest::newRow("one byte short") << false;
    }
    void liveReading()
    {
        QFETCH(bool, answered);
        EndToEnd e;
        QVERIFY(e.Start());
        e.meter.ChangeFaults([answered](sim::MeterFaults &f) {
            if (answered) { // time to try the tabs while the reading runs
                f.replyDelayMs = 600;
                f.delayCommand = sim::CodeCurrentMeasurement;
            } else {
                f.replyFaults << sim::ReplyFault{sim::ReplyFault::DropByte, sim::CodeCurrentMeasurement, -1, 0, -1};
            }
        });
        app::TForm4 &f = *e.form;
        f.PageControl1->setCurrentIndex(0);
        QTest::mouseClick(f.Button9, Qt::LeftButton);
        QCOMPARE(app::Form5->Label1->text(), QStringLiteral("Waiting for measurements..."));

        QTRY_VERIFY_WITH_TIMEOUT(f.Button9->text() == QStringLiteral("Disconnect") && f.centralWidget()->isEnabled(),
                                 5000);
        QTabBar *tabs = f.PageControl1->tabBar();
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
        QCOMPARE(f.PageControl1->currentIndex(), 0);

        QTRY_COMPARE_WITH_TIMEOUT(f.Button9->text(), QStringLiteral("Search and connect"), 8000);
        QCOMPARE(e.State(), devlink::Idle);
        QVERIFY(!f.Meter->vorelt->Enabled());
        QCOMPARE(e.meter.CommandCount(sim::CodeCurrentMeasurement), 1);
        QVERIFY(e.prompts.messages.isEmpty());
        if (!answered) {
            QVERIFY(f.Measurements->IsEmpty());
            QCOMPARE(CurrentPanel(f), QStringList(3));
            return;
        }
        // The meter's current measurement follows its 25 stored ones.
        const QStringList live{QStringLiteral("26    "), QStringLiteral("19.2 "),
                               QStringLiteral("Oak                 ")};
        QCOMPARE(RecordTexts(26), live);
        QCOMPARE(f.Measurements->RowCount(), 2);
        QCOMPARE(TableRow(f, 1), live);
        QCOMPARE(CurrentPanel(f), live);

        // `meas` stands right of `current` and fills the page, and follows
        // the window when it grows.
        const int pageWidth = f.Panel3->width();
        f.resize(f.width() + 200, f.height());
        QTRY_COMPARE(f.Panel3->width(), pageWidth + 200);
        QCOMPARE(f.meas->geometry().right(), f.Panel3->width() - 1);
        QCOMPARE(f.meas->x(), f.current->geometry().right() + 2);
        QVERIFY(f.current->width() > 0);
    }

    void download_data()
    {
        QTest::addColumn<int>("usage");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("requests");
        QTest::addColumn<bool>("received");
        QTest::addColumn<bool>("progress");
        // To below From is exchanged.
        QTest::newRow("small range, To < From") << 25 << 7 << 3 << int(NoFault) << 1 << true << true;
        QTest::newRow("over 512,000 bytes") << 7000 << 1 << 7000 << int(NoFault) << 1 << true << true;
        QTest::newRow("27, 27, 27, 6") << 25 << 2 << 4 << int(Repeat3) << 4 << true << true;
        QTest::newRow("27 four times") << 25 << 2 << 4 << int(Repeat4) << 4 << false << false;
        QTest::newRow("refused with 0") << 25 << 2 << 4 << int(RefusedWithZero) << 1 << false << false;
        QTest::newRow("reply one byte short") << 25 << 2 << 4 << int(ReplyShort) << 1 << false << true;
    }
    void download()
    {
        QFETCH(int, usage);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(int, fault);
        QFETCH(int, requests);
        QFETCH(bool, received);
        QFETCH(bool, progress);
        EndToEnd e;
        QVERIFY(ConnectedTo(e, usage));
        app::TForm4 &f = *e.form;
        e.meter.ChangeFaults([fault](sim::MeterFaults &m) {
            m.notifySize = 244;
            if (fault == Repeat3 || fault == Repeat4)
                m.repeatReplies = fault == Repeat3 ? 3 : 4;
            if (fault == RefusedWithZero)
                m.replyFaults << sim::ReplyFault{sim::ReplyFault::WrongByte, sim::CodeWriteParameters, 0, 0, 1};
            if (fault == ReplyShort)
                m.replyFaults << sim::ReplyFault{sim::ReplyFault::DropByte, sim::CodeDownloadRecords, -1, 0, 1};
        });
        ShowWatch watch(app::Form7);
        QStringList offered;
        ReadRange(e, from, to, &offered);
        QCOMPARE(offered.size(), usage + 1);
        QCOMPARE(offered.first(), QStringLiteral("1"));
        QCOMPARE(offered.last(), QString::number(usage)); // both lists select N
        QCOMPARE(offered[usage - 1], QString::number(usage));

        const int first = std::min(from, to);
        const int last = std::max(from, to);
        const int count = last - first + 1;
        if (received) {
            QTRY_COMPARE_WITH_TIMEOUT(f.PageControl1->currentIndex(), 0, 20000);
            QVERIFY(e.prompts.messages.isEmpty());
            QCOMPARE(e.meter.CommandCount(sim::CodeCloseSession), 1);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kLost}, 10000);
            QCOMPARE(f.PageControl1->currentIndex(), 1);
        }
        QTRY_COMPARE(f.Button1->text(), QStringLiteral("Search and connect"));
        QCOMPARE(e.State(), devlink::Idle);
        QVERIFY(!f.Meter->vorelt->Enabled());
        QVERIFY(!app::Form7->isVisible());
        QVERIFY(f.centralWidget()->isEnabled());
        QCOMPARE(watch.shows, progress ? 1 : 0);
        if (progress) {
            QCOMPARE(watch.label, QStringLiteral("Receiving data"));
            QCOMPARE(watch.maximum, count * 79);
        }
        QCOMPARE(e.meter.CommandCount(sim::CodeDownloadRecords), progress ? 1 : 0);

        // Every try carried the same frame, with the range in it.
        const QList<ParameterBlock> sent = testsupport::WrittenBlocks(e.meter.Frames());
        QCOMPARE(sent.size(), requests);
        for (const ParameterBlock &block : sent)
            QCOMPARE(block.bytes, sent.first().bytes);
        QCOMPARE(int(sent.first().word(ParameterBlock::RangeFrom)), first);
        QCOMPARE(int(sent.first().word(ParameterBlock::RangeTo)), last);

        if (!received) {
            QVERIFY(f.Measurements->IsEmpty());
            return;
        }
        QCOMPARE(f.Measurements->RowCount(), count + 1);
        QCOMPARE(TableRow(f, 1), RecordTexts(first));
        QCOMPARE(TableRow(f, count / 2 + 1), RecordTexts(first + count / 2));
        QCOMPARE(TableRow(f, count), RecordTexts(last));
        QCOMPARE(CurrentPanel(f), RecordTexts(first));
    }

    void readRefusesABadRangeCell()
    {
        EndToEnd e;
        QVERIFY(ConnectedTo(e, 25));
        views::SetCellText(e.form->StringGrid1, 4, 1, QStringLiteral("0")); // entry 3
        QTest::mouseClick(e.form->Button11, Qt::LeftButton);
        QCOMPARE(e.prompts.beeps, QList<int>{16});
        QCOMPARE(e.form->StringGrid1->currentColumn(), 4);
        QCOMPARE(e.prompts.modalRuns, 0);
        QVERIFY(e.meter.WaitForCommand(sim::CodePing, 1, 3000)); // the worker went on idling
        QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 0);
        QCOMPARE(e.State(), devlink::Connected);
    }

    void selectedRowFollowsAMerge()
    {
        EndToEnd e;
        QVERIFY(ConnectedTo(e, 25));
        app::TForm4 &f = *e.form;
        ReadRange(e, 3, 7);
        QTRY_COMPARE_WITH_TIMEOUT(f.Measurements->RowCount(), 6, 10000);
        QTRY_COMPARE(f.PageControl1->currentIndex(), 0);
        // The user picks the row of record 4.
        QTest::mouseClick(f.meas->viewport(), Qt::LeftButton, {},
                          f.meas->visualRect(f.Measurements->index(2, 0)).center());
        QCOMPARE(CurrentPanel(f), RecordTexts(4));

        // Record 4 again, its moisture now 92.8: merged in place, and the
        // panel shows what stands in the selected row now.
        f.PageControl1->setCurrentIndex(1);
        QVERIFY(e.Connect());
        e.meter.ChangeFaults([](sim::MeterFaults &m) {
            m.replyFaults << sim::ReplyFault{sim::ReplyFault::WrongByte, sim::CodeDownloadRecords, 41, '9', 1};
        });
        ReadRange(e, 4, 4);
        QTRY_COMPARE_WITH_TIMEOUT(f.PageControl1->currentIndex(), 0, 10000);
        QStringList changed = RecordTexts(4);
        changed[1] = QStringLiteral("92.8 ");
        QCOMPARE(f.Measurements->RowCount(), 6);
        QCOMPARE(TableRow(f, 2), changed);
        QCOMPARE(CurrentPanel(f), changed);
        QVERIFY(e.prompts.messages.isEmpty());
    }

    // With the sample configuration and the meter's records no caption or
    // value is cut in the font in use, nor an entry of the range grid.
    void sampleTextsFitTheirCells()
    {
        EndToEnd e;
        e.configuration = SampleConfiguration();
        QVERIFY(!e.configuration.isEmpty());
        QVERIFY(e.Start(false, QStringLiteral("vlink:127.0.0.1:1")));
        app::TForm4 &f = *e.form;
        QList<QStringList> records;
        for (int n = 1; n <= 25; ++n)
            records << RecordTexts(n, e.configuration);
        f.MergeRecords(records);
        QCOMPARE(f.Measurements->ColumnCount(), 6);
        // In the 8-point font the sizes were made for (a digit zero of 6
        // pixels, as Tahoma on Windows) the columns are the designed ones,
        // and a caption as wide as the characters its column counts loses
        // its last pixels to the text inset, as it always did there.
        const bool designedFont = views::CharacterWidth(f.meas->fontMetrics()) == 6;
        for (int r = 0; r < f.Measurements->RowCount(); ++r) {
            for (int c = 0; c < f.Measurements->ColumnCount(); ++c) {
                const QString text = f.Measurements->Cell(c, r);
                QVERIFY2((r == 0 && designedFont) || Fits(f.meas, text, f.meas->columnWidth(c)), qPrintable(text));
                QVERIFY2(Fits(f.current, text, f.current->columnWidth(r ? 1 : 0)), qPrintable(text));
            }
        }
        QVERIFY(f.meas->fontMetrics().height() <= f.meas->rowHeight(1) - 1);

        // The range grid draws its text 2 pixels in.
        const QFontMetricsF grid(f.StringGrid1->font());
        for (const QString &text : {QStringLiteral("N/A"), QStringLiteral("180"), QStringLiteral("160")})
            QVERIFY2(std::ceil(grid.horizontalAdvance(text)) <= f.StringGrid1->columnWidth(1) - 1 - 2, qPrintable(text));
        QVERIFY(grid.height() <= f.StringGrid1->rowHeight(1) - 1 - 2);
    }

    // Right-click on a cell offers the chart of its column when the column
    // holds a number; the chart skips what is none and follows merges.
    // Built without Qt Charts, no right-click offers anything.
    void contextMenuOpensTheChartOfAColumn()
    {
        EndToEnd e;
        QVERIFY(e.Start(false, QStringLiteral("vlink:127.0.0.1:1")));
        app::TForm4 &f = *e.form;
        f.show();
        QStringList unread = RecordTexts(3);
        unread[1] = QStringLiteral("--.- ");
        f.MergeRecords({RecordTexts(1), RecordTexts(2), unread, RecordTexts(4)});
        const auto rightClick = [&f](int column) {
            const QPoint at = f.meas->visualRect(f.Measurements->index(2, column)).center();
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, f.meas->viewport()->mapToGlobal(at));
            QApplication::sendEvent(f.meas->viewport(), &event);
            return f.meas->findChild<QMenu *>(QStringLiteral("measPopup"));
        };
        QVERIFY(!rightClick(2)); // "Wood species" holds no number
#ifndef TARVOLIN_CHARTS
        QVERIFY(!rightClick(1));
#else
        QMenu *menu = rightClick(1);
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions()[0]->text(), QStringLiteral("Chart of Moisture %"));
        menu->actions()[0]->trigger();
        menu->close();
        auto *chart = f.findChild<views::ChartWindow *>();
        QVERIFY(chart);
        QTRY_VERIFY(chart->isVisible());
        QCOMPARE(chart->windowTitle(), QStringLiteral("Moisture % - ") + QApplication::applicationName());
        QVERIFY(chart->Drawn().byKey);
        const QList<QPointF> expected{{1, RecordTexts(1)[1].toDouble()}, {2, RecordTexts(2)[1].toDouble()},
                                      {4, RecordTexts(4)[1].toDouble()}};
        QCOMPARE(chart->Drawn().points, expected);
        QCOMPARE(chart->SkippedLabel->text(), QStringLiteral("1 of 4 values is not a number and is not shown."));

        f.MergeRecords({RecordTexts(3)});
        QTRY_COMPARE(chart->Drawn().points.size(), 4);
        QVERIFY(chart->SkippedLabel->text().isEmpty());

        const QString image = e.dir.filePath(QStringLiteral("chart.png"));
        e.prompts.fileNames.enqueue(image);
        QTest::mouseClick(chart->SaveImageButton, Qt::LeftButton);
        QCOMPARE(e.prompts.dialogs.last().title, QStringLiteral("Save image"));
        QVERIFY(testsupport::ReadAll(image).startsWith("\x89PNG"));
        QVERIFY(e.prompts.messages.isEmpty());
#endif
    }

    void saveWritesTheTableAsCsvOrWorkbook()
    {
        EndToEnd e;
        QVERIFY(ConnectedTo(e, 25));
        ReadRange(e, 3, 4);
        QTRY_COMPARE_WITH_TIMEOUT(e.form->Measurements->RowCount(), 3, 10000);
        data::SetListSeparator(QLatin1Char(';'));
        const QString target = e.dir.filePath(QStringLiteral("records.CSV"));
        e.prompts.fileNames.enqueue(target);
        QTest::mouseClick(e.form->Button10, Qt::LeftButton);
        data::SetListSeparator(QChar());

        QCOMPARE(e.prompts.dialogs.size(), 1);
        QCOMPARE(e.prompts.dialogs[0].title, QStringLiteral("Save as CSV"));
        QCOMPARE(e.prompts.dialogs[0].defaultExtension, QStringLiteral("CSV"));
        QVERIFY(e.prompts.dialogs[0].promptOverwrite);
        const QString text = QStringLiteral("No.;Moisture %;Wood species\r\n"
                                            "3     ;19.1 ;Beech               \r\n"
                                            "4     ;22.8 ;Larch               \r\n");
        QByteArray expected;
        for (QChar c : text) {
            expected.append(char(c.unicode() & 0xFF));
            expected.append(char(c.unicode() >> 8));
        }
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), expected);

        // The dialog offers the workbook too, and a name ending in .xlsx
        // gets one.
        QCOMPARE(e.prompts.dialogs[0].filter, QStringLiteral("CSV file (*.csv);;Excel workbook (*.xlsx)"));
        const QString book = e.dir.filePath(QStringLiteral("records.xlsx"));
        e.prompts.fileNames.enqueue(book);
        QTest::mouseClick(e.form->Button10, Qt::LeftButton);
        QFile workbook(book);
        QVERIFY(workbook.open(QIODevice::ReadOnly));
        QVERIFY(workbook.readAll().startsWith("PK\x03\x04"));
        QVERIFY(e.prompts.messages.isEmpty());
    }
};

QTEST_MAIN(TestMeasurementEndToEnd)
#include "tst_measurement_e2e.moc"
