// What a new user meets in the window in the first minutes, against the
// simulated meter: the search dialog with its instruction, a meter switched
// on while the dialog waits, and the Measurement page's caption row and new
// readings once the table is longer than the page.
#include "tests/support/e2esteps.h"

#include "data/meastable.h"
#include "views/devicedata.h"

#include <QAccessible>
#include <QLabel>
#include <QScrollBar>
#include <QTableWidget>

using testsupport::ConnectedTo;
using testsupport::EndToEnd;
using testsupport::ReadRange;
using testsupport::RecordTexts;

namespace {

QStringList CurrentPanel(const app::TForm4 &f)
{
    QStringList texts;
    for (int r = 0; r < f.current->rowCount(); ++r)
        texts << views::CellText(f.current, 1, r);
    return texts;
}

// Whether `row` shows whole below the fixed caption row.
bool ShownBelowCaption(const views::FixedRowTable *meas, int row)
{
    const QRect cell = meas->visualRect(meas->model()->index(row, 0));
    return cell.top() >= meas->rowHeight(0) && cell.bottom() < meas->viewport()->height();
}

// The strip at the top of the table, where the caption row shows.
QImage CaptionStrip(views::FixedRowTable *meas)
{
    const QRect strip(meas->viewport()->geometry().topLeft(), QSize(meas->viewport()->width(), meas->rowHeight(0)));
    return meas->grab(strip).toImage();
}

} // namespace

class FirstMinutesTest : public QObject {
    Q_OBJECT
private slots:
    void meterSwitchedOnLateIsFound();
    void captionRowStaysAndNewRecordsShow();
};

void FirstMinutesTest::meterSwitchedOnLateIsFound()
{
    EndToEnd e;
    // The meter's port is had now; the meter itself is switched on later.
    QVERIFY(e.meter.Start());
    const quint16 port = e.meter.Port();
    const QString link = e.meter.LinkValue();
    e.meter.Stop();
    QVERIFY(e.Start(false, link));
    app::TForm4 &f = *e.form;
    // Scans of a quarter second: the meter comes on after several have
    // ended, as it does 15 s into a search whose scan lasts 11.7 s.
    f.Meter->ScanMs = 250;
    // A font wider than the one the dialog was designed for.
    QFont wide = app::Form5->font();
    wide.setPointSize(14);
    app::Form5->setFont(wide);
    // A meter that is never found leaves the search to the user's Cancel.
    QTimer::singleShot(10000, app::Form5, [] { QTest::mouseClick(app::Form5->Button4, Qt::LeftButton); });
    QString instruction;
    bool whole = false;
    bool switchedOn = false;
    e.ClickConnect(1500, [&] {
        const QLabel *label = app::Form5->Label1;
        instruction = app::Form5->isVisible() ? label->text() : QString();
        whole = label->width() >= label->sizeHint().width() && app::Form5->rect().contains(label->geometry()) &&
                app::Form5->width() >= 196 && app::Form5->height() >= 96;
        switchedOn = e.meter.Start(port);
    });
    QCOMPARE(instruction, QStringLiteral("Turn device on and set the range to 0"));
    QVERIFY(whole);
    QVERIFY(switchedOn);
    QVERIFY(e.WaitForState(devlink::Connected, 10000));
    QCOMPARE(f.Button1->text(), QStringLiteral("Disconnect"));
    QVERIFY(e.prompts.messages.isEmpty());
}

void FirstMinutesTest::captionRowStaysAndNewRecordsShow()
{
    EndToEnd e;
    QVERIFY(ConnectedTo(e, 60));
    app::TForm4 &f = *e.form;
    views::FixedRowTable *meas = f.meas;
    ReadRange(e, 1, 60);
    QTRY_COMPARE_WITH_TIMEOUT(f.PageControl1->currentIndex(), 0, 10000);
    QCOMPARE(f.Measurements->RowCount(), 61);
    QVERIFY(!ShownBelowCaption(meas, 60)); // more records than the page shows
    const QImage caption = CaptionStrip(meas);

    // Scrolled to the end, the captions still head the table, and row 0 is
    // still the table's first row to a screen reader.
    meas->verticalScrollBar()->setValue(meas->verticalScrollBar()->maximum());
    QVERIFY(meas->rowViewportPosition(1) < 0);
    QVERIFY(ShownBelowCaption(meas, 60));
    QCOMPARE(CaptionStrip(meas), caption);
    QAccessibleTableInterface *table = QAccessible::queryAccessibleInterface(meas)->tableInterface();
    QVERIFY(table);
    QCOMPARE(table->rowCount(), 61);
    QCOMPARE(table->cellAt(0, 0)->text(QAccessible::Name), f.Measurements->Cell(0, 0));

    // Record 3 read again while the end shows: the table comes back to it,
    // and it does not hide under the captions.
    f.PageControl1->setCurrentIndex(1);
    QVERIFY(e.Connect());
    ReadRange(e, 3, 3);
    QTRY_COMPARE_WITH_TIMEOUT(f.PageControl1->currentIndex(), 0, 10000);
    QTRY_VERIFY(ShownBelowCaption(meas, 3));
    QCOMPARE(CaptionStrip(meas), caption);

    // A live reading from the top of the table lands below the page's last
    // row: the table scrolls to it; the selection and the panel stay.
    meas->verticalScrollBar()->setValue(0);
    QTest::mouseClick(f.Button9, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(f.Measurements->RowCount(), 62, 10000); // a new key: appended
    QVERIFY(e.WaitForState(devlink::Idle, 5000));
    QVERIFY(ShownBelowCaption(meas, 61));
    QCOMPARE(meas->currentIndex().row(), 1);
    QCOMPARE(CurrentPanel(f), RecordTexts(1));
    QVERIFY(e.prompts.messages.isEmpty());
}

QTEST_MAIN(FirstMinutesTest)
#include "tst_firstminutes.moc"
