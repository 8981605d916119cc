// Text from devices and files, made safe to print.
#include "protocol/printable.h"

#include <QTest>

class TestPrintable : public QObject {
    Q_OBJECT
private slots:
    void escapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("printed");
        QTest::newRow("plain") << QStringLiteral("Vorelt-ZEVQ25k") << QStringLiteral("Vorelt-ZEVQ25k");
        QTest::newRow("letters beyond ASCII stay") << QStringLiteral("Buk ä €") << QStringLiteral("Buk ä €");
        QTest::newRow("escape sequence") << QStringLiteral("\x1b[2Jx") << QStringLiteral("\\x1b[2Jx");
        QTest::newRow("tab, CR, LF") << QStringLiteral("a\tb\r\nc") << QStringLiteral("a\\tb\\r\\nc");
        QTest::newRow("NUL and DEL") << QString(QStringLiteral("a")).append(QChar(0)).append(QChar(0x7F))
                                     << QStringLiteral("a\\x00\\x7f");
        QTest::newRow("C1 control") << QString(QChar(0x9B)) << QStringLiteral("\\x9b");
        QTest::newRow("backslash") << QStringLiteral("a\\x1b") << QStringLiteral("a\\\\x1b");
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QStringLiteral("\\ud800");
        QTest::newRow("bidi override and isolate")
            << QStringLiteral("a\u202Eb\u2066c\u2069") << QStringLiteral("a\\u202eb\\u2066c\\u2069");
        QTest::newRow("separators and zero width")
            << QStringLiteral("\u2028\u2029\u200B") << QStringLiteral("\\u2028\\u2029\\u200b");
        QTest::newRow("zero-width joiner stays") << QStringLiteral("\u200D") << QStringLiteral("\u200D");
        QTest::newRow("surrogate pair stays") << QStringLiteral("\U0001F600") << QStringLiteral("\U0001F600");
    }
    void escapes()
    {
        QFETCH(QString, text);
        QFETCH(QString, printed);
        QCOMPARE(protocol::Printable(text), printed);
    }
};

QTEST_APPLESS_MAIN(TestPrintable)
#include "tst_printable.moc"
