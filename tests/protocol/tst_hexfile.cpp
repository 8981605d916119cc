// Firmware files: reading the text (marks, line ends, size limit) and the
// check that lets only whole Intel HEX records through.

#include "protocol/hexfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Bytes with the checksum that makes them sum to 0, as a line; `tweak`
// spoils the checksum.
QByteArray Checked(QByteArray bytes, int tweak = 0)
{
    int sum = 0;
    for (char b : bytes)
        sum += static_cast<unsigned char>(b);
    bytes.append(char((256 - sum % 256 + tweak) % 256));
    return ':' + bytes.toHex().toUpper();
}

QByteArray Record(int type, int address, const QByteArray &data, int tweak = 0)
{
    const char header[] = {char(data.size()), char(address >> 8), char(address & 0xFF), char(type)};
    return Checked(QByteArray(header, 4) + data, tweak);
}

// `count` lines as an assembler writes them: an extended linear address,
// data records and the end-of-file record.
QList<QByteArray> Lines(int count)
{
    QList<QByteArray> lines;
    if (count > 0)
        lines << Record(4, 0, QByteArray::fromHex("0000"));
    for (int i = 1; i < count - 1; ++i)
        lines << Record(0, 16 * i, QByteArray::fromHex("0C9434000C944F00") + char(i));
    if (count > 1)
        lines << Record(1, 0, {});
    return lines;
}

QByteArray Join(const QList<QByteArray> &lines, const QByteArray &end = "\r\n")
{
    QByteArray text;
    for (const QByteArray &line : lines)
        text += line + end;
    return text;
}

QList<QByteArray> With(QList<QByteArray> lines, int at, const QByteArray &line)
{
    lines[at] = line;
    return lines;
}

QByteArray Utf16(const QByteArray &latin1, bool bigEndian)
{
    QByteArray out;
    for (char c : latin1) {
        out.append(bigEndian ? '\0' : c);
        out.append(bigEndian ? c : '\0');
    }
    return out;
}

} // namespace

class TestHexFile : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;

    QString Write(const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("f.hex"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }

private slots:
    void check_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("lineCount");
        QTest::addColumn<bool>("valid");
        for (int n : {5, 6, 7, 8, 9, 10})
            QTest::addRow("%d lines", n) << Join(Lines(n)) << n << (n == 6 || n == 10);
        QTest::newRow("empty file") << QByteArray() << 0 << false;
        QTest::newRow("blank line") << Join(With(Lines(6), 2, "")) << 6 << false;
        QTest::newRow("line of spaces") << Join(With(Lines(6), 3, "   ")) << 6 << false;
        QTest::newRow("blank line at the end") << Join(Lines(6)) + "\r\n" << 7 << false;
        QTest::newRow("blanks around a record")
            << Join(With(Lines(6), 1, " \t" + Lines(6)[1] + "  \x01")) << 6 << true;
        QTest::newRow("colon alone") << Join(With(Lines(6), 5, ":")) << 6 << false;
        QTest::newRow("lower-case digits") << Join(With(Lines(6), 2, Lines(6)[2].toLower())) << 6 << true;
        QTest::newRow("accented letter")
            << "\xEF\xBB\xBF" + Join(With(Lines(6), 2, Lines(6)[2].left(7) + "\xC3\xA9" + Lines(6)[2].mid(8)))
            << 6 << false;
        QTest::newRow("wrong checksum") << Join(With(Lines(6), 2, Record(0, 0, "abc", 1))) << 6 << false;
        QTest::newRow("wrong byte count") << Join(With(Lines(6), 2, Checked(QByteArray("\x04\0\0\0abc", 7)))) << 6 << false;
        QTest::newRow("record type 06") << Join(With(Lines(6), 2, Record(6, 0, "abc"))) << 6 << false;
        QTest::newRow("record types 02, 03, 05")
            << Join(With(With(With(Lines(6), 1, Record(2, 0, "\x10\x00")), 2, Record(3, 0, "abcd")), 3,
                         Record(5, 0, "abcd")))
            << 6 << true;
        QTest::newRow("odd number of digits") << Join(With(Lines(6), 4, Lines(6)[4] + "0")) << 6 << false;
        QTest::newRow("header only") << Join(With(Lines(6), 4, ":0000")) << 6 << false;
        QTest::newRow("mark UTF-8") << "\xEF\xBB\xBF" + Join(Lines(6)) << 6 << true;
        QTest::newRow("mark UTF-16 LE") << "\xFF\xFE" + Utf16(Join(Lines(6)), false) << 6 << true;
        QTest::newRow("mark UTF-16 BE") << "\xFE\xFF" + Utf16(Join(Lines(6)), true) << 6 << true;
        QTest::newRow("CR") << Join(Lines(6), "\r") << 6 << true;
        QTest::newRow("LF") << Join(Lines(6), "\n") << 6 << true;
        QTest::newRow("no line break at the end") << Join(Lines(6)).chopped(2) << 6 << true;
        QTest::newRow("CR LF, LF and CR mixed")
            << Lines(6)[0] + "\r\n" + Lines(6)[1] + "\n" + Lines(6)[2] + "\r" + Join(Lines(6).mid(3)) << 6
            << true;
    }
    void check()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, lineCount);
        QFETCH(bool, valid);
        const QString path = Write(bytes);
        QVERIFY(!path.isEmpty());
        QString error;
        const std::optional<QStringList> lines = protocol::ReadHexFile(path, &error);
        QVERIFY2(lines, qPrintable(error));
        QCOMPARE(lines->size(), lineCount);
        QCOMPARE(protocol::ValidateHexFile(*lines), valid);
    }

    // Why a file is refused, and what is sent and said of one that is taken:
    // the meter never receives the first and the last line, so they must be
    // an address record and the end record.
    void prepare_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("warning");
        const QString noWarning;
        QTest::newRow("assembler's file") << Lines(6) << QString() << noWarning;
        QTest::newRow("data record first")
            << With(Lines(6), 0, Record(0, 0, "abcd"))
            << "line 1: a record of type 00 where an extended address record (type 02 or 04) of two bytes belongs; "
               "the meter never receives the first line"
            << noWarning;
        QTest::newRow("address record of one byte first") << With(Lines(6), 0, Record(4, 0, "\x01"))
                                                          << "line 1: a record of type 04 where an extended address "
                                                             "record (type 02 or 04) of two bytes belongs; the meter "
                                                             "never receives the first line"
                                                          << noWarning;
        QTest::newRow("no end record")
            << With(Lines(6), 5, Record(0, 0x50, "abcd"))
            << "line 6: a record of type 00 where the end-of-file record (type 01) belongs; the meter never "
               "receives the last line"
            << noWarning;
        QTest::newRow("linear address 0x10000") << With(Lines(6), 0, Record(4, 0, QByteArray::fromHex("0001")))
                                                << QString()
                                                << "line 1 sets the address 0x00010000, not 0; the meter never "
                                                   "receives that line";
        QTest::newRow("segment 0x1000") << With(Lines(6), 0, Record(2, 0, QByteArray::fromHex("1000"))) << QString()
                                        << "line 1 sets the address 0x00010000, not 0; the meter never receives "
                                           "that line";
        QTest::newRow("7 lines") << Lines(7) << "7 lines; a firmware file has 6, 10, 14, ... lines" << noWarning;
        QTest::newRow("bad checksum on line 3")
            << With(Lines(6), 2, Record(0, 0, "abc", 1)) << "line 3: the checksum is wrong" << noWarning;
        QTest::newRow("trailing blank line") << Lines(6) + QList<QByteArray>{""} << "line 7: the line is empty"
                                             << noWarning;
        QTest::newRow("record type 06") << With(Lines(6), 2, Record(6, 0, "abc"))
                                        << "line 3: record type 06 is not one of 00 to 05" << noWarning;
        QTest::newRow("letter after the colon") << With(Lines(6), 4, ":G0") << "line 5: U+0047 is not a hexadecimal digit"
                                                << noWarning;
    }
    void prepare()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QString, fault);
        QFETCH(QString, warning);
        QStringList text;
        for (const QByteArray &line : lines)
            text << QString::fromLatin1(line);
        const protocol::FirmwareLines prepared = protocol::PrepareFirmwareLines(text);
        QCOMPARE(prepared.fault, fault);
        QCOMPARE(prepared.warning, warning);
        QCOMPARE(prepared.sent, fault.isEmpty() ? text.mid(1, text.size() - 2) : QStringList());
        QCOMPARE(protocol::ValidateHexFile(text), fault.isEmpty());
    }

    void trimmedLineIsWhatIsSent()
    {
        QCOMPARE(protocol::TrimHexLine(u"\x01 \t:00000001FF \r"), QStringView(u":00000001FF"));
        QCOMPARE(protocol::TrimHexLine(u"   "), QStringView());
    }

    void unreadableFilesAreRefused()
    {
        QString error;
        const QString missing = m_dir.filePath(QStringLiteral("missing.hex"));
        QVERIFY(!protocol::ReadHexFile(missing, &error));
        QVERIFY2(error.startsWith(QStringLiteral("Cannot open file \"%1\". ").arg(QDir::toNativeSeparators(missing))),
                 qPrintable(error));
        QVERIFY(error.size() > QStringLiteral("Cannot open file \"%1\". ").arg(missing).size());

        // Sparse, so the test costs no disk space.
        const QString huge = m_dir.filePath(QStringLiteral("huge.hex"));
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(protocol::HexFileLimit + 1));
        file.close();
        QVERIFY(!protocol::ReadHexFile(huge, &error));
        QVERIFY2(error.contains(QStringLiteral("larger than 16 MiB")), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestHexFile)
#include "tst_hexfile.moc"
