#pragma once
// What a technician does in the end-to-end tests, as steps: connect to a
// meter holding some records, download a range through "Read", send a
// firmware file through "Send data".

#include "tests/support/e2e.h"
#include "tests/support/hexrecords.h"
#include "views/selrange.h"

#include <QComboBox>
#include <QDialog>

namespace testsupport {

inline const QString LostMessage = QStringLiteral("Connection lost or unrecoverable transmission error.");

// The texts the meter's record `number` carries in its shown fields, cut
// from its bytes by the configured widths.
inline QStringList RecordTexts(int number, const QByteArray &configuration = TestConfiguration)
{
    QList<sim::RecordField> layout;
    QString error;
    sim::ParseRecordLayout(configuration, &layout, &error);
    sim::MeterLogic meter;
    meter.SetLayout(layout);
    const QByteArray record = meter.MakeRecord(number);
    QStringList texts;
    // Spelled out here rather than taken from the reader, so that the tests
    // check it: each slot is 9 bytes, the value, 2 bytes.
    int at = 0;
    for (const sim::RecordField &field : layout) {
        if (!field.caption.trimmed().isEmpty())
            texts << QString::fromUtf8(record.mid(at + 9, field.width));
        at += field.width + 11;
    }
    return texts;
}

// Clicks "Read" and plays the user in "Select range": picks `from` and `to`
// (record numbers) and presses Ok. `offered` gets the entries of the lists.
inline void ReadRange(EndToEnd &e, int from, int to, QStringList *offered = nullptr)
{
    e.prompts.modal = [=](QDialog *dialog) {
        auto *range = qobject_cast<views::TForm1 *>(dialog);
        if (!range)
            return -1;
        if (offered) {
            for (int i = 0; i < range->ComboBox1->count(); ++i)
                *offered << range->ComboBox1->itemText(i);
            *offered << range->ComboBox2->currentText();
        }
        range->ComboBox1->setCurrentIndex(from - 1);
        range->ComboBox2->setCurrentIndex(to - 1);
        QTest::mouseClick(range->Button11, Qt::LeftButton);
        return range->result();
    };
    QTest::mouseClick(e.form->Button11, Qt::LeftButton);
}

// Connects on the Device data page to a meter holding `usage` records.
inline bool ConnectedTo(EndToEnd &e, int usage)
{
    if (!e.Start())
        return false;
    protocol::ParameterBlock block = sim::MeterLogic::DefaultBlock();
    sim::MeterLogic::SetUsageCount(block, usage);
    e.meter.SetBlock(block);
    return e.Connect();
}

inline QString WriteHexFile(const QTemporaryDir &dir, const QList<QByteArray> &lines)
{
    const QString path = dir.filePath(QStringLiteral("firmware.HEX"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    for (const QByteArray &line : lines)
        file.write(line + "\r\n");
    return path;
}

inline QList<QByteArray> FirmwareLineFrames(const QList<QByteArray> &frames)
{
    QList<QByteArray> out;
    for (const QByteArray &frame : frames)
        if (static_cast<std::uint8_t>(frame[0]) == sim::CodeFirmwareLine)
            out << frame;
    return out;
}

// Connected on the Device data page; "Send data" picks `path` and answers
// the confirmation with `yes`.
inline void SendData(EndToEnd &e, const QString &path, bool yes)
{
    e.prompts.fileNames.enqueue(path);
    e.prompts.answers.enqueue(yes);
    QTest::mouseClick(e.form->Button3, Qt::LeftButton);
}

} // namespace testsupport
