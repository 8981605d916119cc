// "Send data" against the simulated meter over the virtual link: what the
// meter takes of an Intel HEX file, line by line.

#include "tests/support/e2esteps.h"
#include "sim/heximage.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>

using testsupport::EndToEnd;
using testsupport::SendData;
using testsupport::WriteHexFile;

namespace {

const QString &kLost = testsupport::LostMessage;

QByteArray LineFrame(const QByteArray &line)
{
    return char(sim::CodeFirmwareLine) + line + "\r\n";
}

// Records the bar's positions, and the display and bar when the dialog opens.
struct ProgressWatch : QObject {
    ProgressWatch()
    {
        app::Form7->installEventFilter(this);
        connect(app::Form7->ProgressBar1, &QProgressBar::valueChanged, this, [this](int v) {
            if (v > 0)
                positions << v;
        });
    }
    ~ProgressWatch() override
    {
        if (app::Form7)
            app::Form7->removeEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            maximum = app::Form7->ProgressBar1->maximum();
            label = app::Form7->Label1->text();
            buttonText = app::Form4->Button1->text();
        }
        return false;
    }
    QList<int> positions;
    int maximum = -1;
    QString label;
    QString buttonText;
};

} // namespace

class TestFirmwareEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void upload_data()
    {
        QTest::addColumn<int>("kind");  // sim::FirmwareFault::Kind, -1: none
        QTest::addColumn<int>("line");  // the line of the fault, counted from 1 as sent
        QTest::addColumn<int>("times");
        QTest::addColumn<QList<int>>("sent"); // indexes into the file's lines
        QTest::addColumn<bool>("taken");
        QTest::newRow("six lines") << -1 << 0 << 0 << QList<int>{1, 2, 3, 4} << true;
        QTest::newRow("27 three times, then 6")
            << int(sim::FirmwareFault::Repeat) << 2 << 3 << QList<int>{1, 2, 2, 2, 2, 3, 4} << true;
        QTest::newRow("27 four times")
            << int(sim::FirmwareFault::Repeat) << 2 << 4 << QList<int>{1, 2, 2, 2, 2} << false;
        QTest::newRow("wrong reply")
            << int(sim::FirmwareFault::WrongReply) << 3 << 1 << QList<int>{1, 2, 3} << false;
    }
    void upload()
    {
        QFETCH(int, kind);
        QFETCH(int, line);
        QFETCH(int, times);
        QFETCH(QList<int>, sent);
        QFETCH(bool, taken);
        EndToEnd e;
        QVERIFY(e.Start());
        QVERIFY(e.Connect());
        if (kind >= 0) {
            e.meter.ChangeFaults([=](sim::MeterFaults &f) {
                f.firmwareFaults << sim::FirmwareFault{sim::FirmwareFault::Kind(kind), line, times, 0x15};
            });
        }
        const QList<QByteArray> lines = testsupport::SixLineFirmware();
        const QString path = WriteHexFile(e.dir, lines);
        ProgressWatch watch;
        SendData(e, path, true);

        app::TForm4 &f = *e.form;
        const QString fullPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
        if (taken) {
            QTRY_COMPARE_WITH_TIMEOUT(watch.positions.size(), 4, 10000);
            QVERIFY(e.WaitForState(devlink::Connected, 5000));
            QCOMPARE(e.prompts.texts(), QStringList{QStringLiteral("Data file: ") + fullPath});
            QCOMPARE(f.Button1->text(), QStringLiteral("Disconnect"));
            QVERIFY(f.Meter->vorelt->Enabled());
            // The meter's image is that of the data records 2..5 of the file.
            QCOMPARE(e.meter.FirmwareImage(), sim::HexImage::Of(lines.mid(1, 4)));
            QCOMPARE(e.meter.FirmwareImage().size(), std::size_t(64));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts().size(), 2, 10000);
            QCOMPARE(e.prompts.texts()[1], kLost);
            QCOMPARE(e.State(), devlink::Idle);
            QVERIFY(!f.Meter->vorelt->Enabled());
            QCOMPARE(f.Button1->text(), QStringLiteral("Search and connect"));
        }
        QCOMPARE(e.prompts.messages[0].caption, QStringLiteral("Confirm upload"));
        QVERIFY(!app::Form7->isVisible());
        QCOMPARE(watch.maximum, 4);
        QCOMPARE(watch.label, QStringLiteral("Uploading file: ") + fullPath);
        QCOMPARE(watch.buttonText, QStringLiteral("Search and connect")); // disconnected display meanwhile
        QList<int> steps;
        for (int k = 1; k <= (taken ? 4 : sent.last() - 1); ++k)
            steps << k;
        QCOMPARE(watch.positions, steps);

        QList<QByteArray> expected;
        for (int index : sent)
            expected << LineFrame(lines[index]);
        QCOMPARE(testsupport::FirmwareLineFrames(e.meter.Frames()), expected);
    }

    void searchAndConnectDuringUploadDoesNothing()
    {
        EndToEnd e;
        QVERIFY(e.Start());
        QVERIFY(e.Connect());
        e.meter.ChangeFaults([](sim::MeterFaults &f) {
            f.replyDelayMs = 300;
            f.delayCommand = sim::CodeFirmwareLine;
        });
        SendData(e, WriteHexFile(e.dir, testsupport::SixLineFirmware()), true);
        QVERIFY(e.WaitForState(devlink::Uploading, 5000));
        QTRY_COMPARE(e.form->Button1->text(), QStringLiteral("Search and connect"));
        QTest::mouseClick(e.form->Button1, Qt::LeftButton);
        QVERIFY(!app::Form5->isVisible());
        QCOMPARE(e.State(), devlink::Uploading);

        QVERIFY(e.WaitForState(devlink::Connected, 10000));
        QCOMPARE(testsupport::FirmwareLineFrames(e.meter.Frames()).size(), 4);
        QCOMPARE(e.meter.FirmwareImage(), sim::HexImage::Of(testsupport::SixLineFirmware().mid(1, 4)));
        QCOMPARE(e.meter.SessionCount(), 1);
        QCOMPARE(e.form->Button1->text(), QStringLiteral("Disconnect"));
        QCOMPARE(e.prompts.messages.size(), 1); // the confirmation only
    }

    void nothingSentWhenRefusedOrDeclined_data()
    {
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("dataFirst");
        QTest::newRow("invalid file") << false << false;
        // As objcopy writes it: the meter would never get that record.
        QTest::newRow("data record first") << false << true;
        QTest::newRow("No in Confirm upload") << true << false;
    }
    void nothingSentWhenRefusedOrDeclined()
    {
        QFETCH(bool, valid);
        QFETCH(bool, dataFirst);
        EndToEnd e;
        QVERIFY(e.Start());
        QVERIFY(e.Connect());
        QList<QByteArray> lines = testsupport::SixLineFirmware();
        if (dataFirst)
            lines[0] = lines[1];
        else if (!valid) // a data record's checksum off by one
            lines[2][lines[2].size() - 1] = lines[2].endsWith('0') ? '1' : '0';
        const QString path = WriteHexFile(e.dir, lines);
        const QString asked = valid ? QStringLiteral("Data file: ") + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())
                                    : QStringLiteral("Invalid INHX32 file");
        SendData(e, path, false);

        QCOMPARE(e.prompts.dialogs.size(), 1);
        QCOMPARE(e.prompts.dialogs[0].title, QStringLiteral("Open INHEX32 file"));
        QCOMPARE(e.prompts.dialogs[0].defaultExtension, QStringLiteral("HEX"));
        QVERIFY(e.prompts.dialogs[0].mustExist);
        QCOMPARE(e.prompts.texts(), QStringList{asked});
        QCOMPARE(e.prompts.messages[0].caption, valid ? QStringLiteral("Confirm upload") : QStringLiteral("Error"));
        QVERIFY(e.meter.WaitForCommand(sim::CodePing, 1, 3000)); // the worker went on idling
        QCOMPARE(e.meter.CommandCount(sim::CodeFirmwareLine), 0);
        QCOMPARE(e.State(), devlink::Connected);
    }
};

QTEST_MAIN(TestFirmwareEndToEnd)
#include "tst_firmware_e2e.moc"
