// The Device data page against the simulated meter over the virtual link:
// what is edited on the page is what the meter receives, byte for byte.

#include "tests/support/e2e.h"
#include "views/devicedata.h"

#include "sim/meterlogic.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QTableWidget>

using protocol::ParameterBlock;
using testsupport::EndToEnd;

namespace {

const QString kLost = QStringLiteral("Connection lost or unrecoverable transmission error.");

// A block as the meter holds it, with more in it than the default one: bytes
// the page never shows and entries beyond the active count.
ParameterBlock StartBlock()
{
    ParameterBlock b = sim::MeterLogic::DefaultBlock();
    for (int i = 16; i <= 24; ++i)
        b[i] = static_cast<std::uint8_t>(0x50 + i);
    for (int e = 25; e < ParameterBlock::RangeMapLength; ++e)
        b[ParameterBlock::RangeMap + e] = static_cast<std::uint8_t>(200 + e % 50);
    sim::MeterLogic::SetChecksum(b);
    return b;
}

void Leave(QWidget *edit)
{
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(edit, &out);
}

void Retype(QLineEdit *edit, const QString &text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
    Leave(edit);
}

} // namespace

class TestDeviceDataEndToEnd : public QObject {
    Q_OBJECT

private:
    // Connects to a meter holding StartBlock().
    static bool Connected(EndToEnd &e)
    {
        if (!e.Start())
            return false;
        e.meter.SetBlock(StartBlock());
        return e.Connect();
    }

private slots:
    void pageEditsReachTheMeterExactly()
    {
        EndToEnd e;
        QVERIFY(Connected(e));
        app::TForm4 &f = *e.form;
        QCOMPARE(f.Edit1->text(), QStringLiteral("24517"));

        Retype(f.Edit1, QStringLiteral("31337"));
        Retype(f.Edit3, QStringLiteral("99999")); // corrected on leaving
        QCOMPARE(f.Edit3->text(), QStringLiteral("65535"));
        Retype(f.Edit4, QStringLiteral("Kiln 7 "));
        f.Edit4->insert(QStringLiteral("– ä")); // keys of no ASCII character cannot be simulated
        QTest::mouseClick(f.CheckBox1, Qt::LeftButton, {}, QPoint(4, f.CheckBox1->height() / 2));
        f.ComboBox7->setCurrentIndex(22); // 2022
        f.ComboBox8->setCurrentIndex(1);  // February
        f.ComboBox9->setCurrentIndex(27); // 28th
        f.ComboBox10->setCurrentIndex(29); // 30 active ranges
        QTest::mouseClick(f.Button5, Qt::LeftButton);
        f.StringGrid1->setCurrentCell(1, 3); // entry 2, editor opened at once
        auto *editor = qobject_cast<QLineEdit *>(f.StringGrid1->indexWidget(f.StringGrid1->currentIndex()));
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_Backspace);
        QTest::keyClicks(editor, QStringLiteral("177"));

        QTest::mouseClick(f.Button2, Qt::LeftButton);
        QVERIFY(e.meter.WaitForCommand(sim::CodeWriteParameters, 1, 5000));
        QVERIFY(e.meter.WaitForCommand(sim::CodeReadParameters, 2, 5000));
        QVERIFY(e.WaitForState(devlink::Connected, 5000));

        ParameterBlock expected = StartBlock();
        expected.setWord(ParameterBlock::SerialNumber, 31337);
        expected.setWord(ParameterBlock::CalibrationCoefficient, 65535);
        const QByteArray info("Kiln 7 \x96 \xE4");
        for (int i = 0; i < ParameterBlock::InfoTextLength; ++i)
            expected[ParameterBlock::InfoText + i] = i < info.size() ? static_cast<std::uint8_t>(info[i]) : 0;
        expected[ParameterBlock::PrintoutFlag] ^= 0xFF; // the default block prints
        expected[ParameterBlock::ServiceDate] = 22;
        expected[ParameterBlock::ServiceDate + 1] = 1;
        expected[ParameterBlock::ServiceDate + 2] = 27;
        for (int i = 16; i <= 20; ++i)
            expected[i] = 0;
        expected.setWord(ParameterBlock::RangeFrom, 0);
        expected.setWord(ParameterBlock::RangeTo, 0);
        expected[ParameterBlock::ActiveRangeCount] = 30;
        for (int e2 = 0; e2 < 30; ++e2)
            expected[ParameterBlock::RangeMap + e2] = static_cast<std::uint8_t>(e2 == 2 ? 177 : e2 + 1);
        sim::MeterLogic::SetChecksum(expected);

        const QList<ParameterBlock> written = testsupport::WrittenBlocks(e.meter.Frames());
        QCOMPARE(written.size(), 1);
        QCOMPARE(written[0].bytes, expected.bytes);
        QCOMPARE(e.meter.MeterBlock().bytes, expected.bytes);
        QVERIFY(e.prompts.messages.isEmpty());

        // The block read back is what the page shows now.
        QTRY_COMPARE(f.Edit4->text(), QStringLiteral("Kiln 7 – ä"));
        QCOMPARE(views::CellText(f.StringGrid1, 11, 2), QStringLiteral("230")); // entry 30, inactive
    }

    void repeatsAreAnsweredUpToFourTries_data()
    {
        QTest::addColumn<int>("repeats");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("27, 27, 6") << 2 << true;
        QTest::newRow("27 four times") << 4 << false;
    }
    void repeatsAreAnsweredUpToFourTries()
    {
        QFETCH(int, repeats);
        QFETCH(bool, accepted);
        EndToEnd e;
        QVERIFY(Connected(e));
        e.meter.ChangeFaults([repeats](sim::MeterFaults &f) { f.repeatReplies = repeats; });
        QTest::mouseClick(e.form->Button2, Qt::LeftButton);
        if (accepted) {
            QVERIFY(e.meter.WaitForCommand(sim::CodeReadParameters, 2, 8000));
            QVERIFY(e.WaitForState(devlink::Connected, 5000));
            QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 3);
            QVERIFY(e.prompts.messages.isEmpty());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kLost}, 10000);
        QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 4);
        QVERIFY(!e.form->Meter->vorelt->Enabled());
        QCOMPARE(e.State(), devlink::Idle);
        // All four tries carried the same frame.
        const QList<ParameterBlock> written = testsupport::WrittenBlocks(e.meter.Frames());
        QCOMPARE(written.size(), 4);
        QCOMPARE(written[3].bytes, written[0].bytes);
    }

    void wrongReplyEndsTheConnection()
    {
        EndToEnd e;
        QVERIFY(Connected(e));
        e.meter.ChangeFaults([](sim::MeterFaults &f) {
            f.replyFaults << sim::ReplyFault{sim::ReplyFault::WrongByte, sim::CodeWriteParameters, 0, 'A', 1};
        });
        QTest::mouseClick(e.form->Button2, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(e.prompts.texts(), QStringList{kLost}, 10000);
        QVERIFY(!e.form->Meter->vorelt->Enabled());
        QCOMPARE(e.State(), devlink::Idle);
        QVERIFY(!e.form->Button2->isEnabled());
    }

    void badCellBeepsAndSendsNothing()
    {
        EndToEnd e;
        QVERIFY(Connected(e));
        views::SetCellText(e.form->StringGrid1, 4, 1, QStringLiteral("0")); // entry 3
        QTest::mouseClick(e.form->Button2, Qt::LeftButton);
        QCOMPARE(e.prompts.beeps, QList<int>{16});
        QCOMPARE(e.form->StringGrid1->currentColumn(), 4);
        QVERIFY(e.meter.WaitForCommand(sim::CodePing, 1, 3000)); // the worker went on idling
        QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 0);
        QCOMPARE(e.State(), devlink::Connected);
    }

    void revertPutsTheFirstBlockBackOnThePage()
    {
        EndToEnd e;
        QVERIFY(Connected(e));
        Retype(e.form->Edit1, QStringLiteral("7"));
        QTest::mouseClick(e.form->Button2, Qt::LeftButton);
        QVERIFY(e.meter.WaitForCommand(sim::CodeReadParameters, 2, 5000));
        QVERIFY(e.WaitForState(devlink::Connected, 5000));
        QTRY_COMPARE(e.form->Edit1->text(), QStringLiteral("7"));

        e.prompts.answers.enqueue(true);
        QTest::mouseClick(e.form->Button6, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(e.form->Edit1->text(), QStringLiteral("24517"), 3000);
        // The meter keeps the sent block until the next "Send parameters".
        QCOMPARE(e.meter.CommandCount(sim::CodeWriteParameters), 1);
        QCOMPARE(e.meter.MeterBlock().word(ParameterBlock::SerialNumber), 7);
    }
};

QTEST_MAIN(TestDeviceDataEndToEnd)
#include "tst_devicedata_e2e.moc"
