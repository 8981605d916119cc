// The Device data page's input rules: key filters, corrections on leaving an
// edit, day lists, the range mapping grid's marking, editing and checks, and
// the Reset and Send parameters buttons.

#include "tests/support/scriptedprompts.h"
#include "tests/views/pageform.h"

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using testsupport::PageForm;

class TestDeviceData : public QObject {
    Q_OBJECT

private:
    static void leave(QLineEdit *edit)
    {
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(edit, &out);
    }
    static QLineEdit *cellEditor(const PageForm &page)
    {
        return qobject_cast<QLineEdit *>(
            page->StringGrid1->indexWidget(page->StringGrid1->currentIndex()));
    }
    static void showAndFocus(PageForm &page)
    {
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.form.get()));
        page->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(page.form.get()));
    }

private slots:
    void editKeyFilterKeepsSixDigits()
    {
        PageForm page;
        page->Edit1->clear();
        QTest::keyClicks(page->Edit1, QStringLiteral("1a2-3 456789"));
        QCOMPARE(page->Edit1->text(), QStringLiteral("123456"));
        QTest::keyClick(page->Edit1, Qt::Key_Backspace);
        QCOMPARE(page->Edit1->text(), QStringLiteral("12345"));

        // Control characters pass whatever the length; other characters never.
        QChar key(8);
        page->Edit1KeyPress(page->Edit1, key);
        QCOMPARE(key, QChar(8));
        key = QLatin1Char('x');
        page->Edit1KeyPress(page->Edit1, key);
        QVERIFY(key.isNull());
        page->Edit3->setText(QStringLiteral("123456"));
        key = QLatin1Char('7');
        page->Edit1KeyPress(page->Edit3, key);
        QVERIFY(key.isNull());
    }

    void pasteIsJudgedOnLeaving()
    {
        PageForm page;
        QGuiApplication::clipboard()->setText(QStringLiteral("99999999"));
        page->Edit1->setText(QStringLiteral("1"));
        page->Edit1->end(false);
        QTest::keyClick(page->Edit1, Qt::Key_V, Qt::ControlModifier);
        if (page->Edit1->text() == QStringLiteral("1"))
            QSKIP("no clipboard on this platform");
        QCOMPARE(page->Edit1->text(), QStringLiteral("199999999"));
        leave(page->Edit1);
        QCOMPARE(page->Edit1->text(), QStringLiteral("65535"));
    }

    void leavingCorrectsToTheFieldRange_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::newRow("too large") << "999999" << "65535";
        QTest::newRow("largest") << "65535" << "65535";
        QTest::newRow("empty") << "" << "0";
        QTest::newRow("not a number") << "12ab" << "0";
        QTest::newRow("beyond 32 bits") << "99999999999" << "0";
        QTest::newRow("negative stays") << "-5" << "-5";
        QTest::newRow("ordinary") << "1234" << "1234";
    }
    void leavingCorrectsToTheFieldRange()
    {
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        PageForm page;
        for (QLineEdit *edit : {page->Edit1, page->Edit3}) {
            edit->setText(typed);
            leave(edit);
            QCOMPARE(edit->text(), kept);
        }
    }

    void dayListFollowsYearAndMonth()
    {
        PageForm page;
        const auto days = [&] { return page->ComboBox3->count(); };
        page->ComboBox2->setCurrentIndex(0); // January
        page->ComboBox3->setCurrentIndex(30);
        page->ComboBox2->setCurrentIndex(3); // April
        QCOMPARE(days(), 30);
        QCOMPARE(page->ComboBox3->currentText(), QStringLiteral("30"));

        page->ComboBox1->setCurrentIndex(24); // 2024
        page->ComboBox2->setCurrentIndex(1);  // February
        QCOMPARE(days(), 29);
        QCOMPARE(page->ComboBox3->currentText(), QStringLiteral("29"));
        page->ComboBox1->setCurrentIndex(23); // 2023
        QCOMPARE(days(), 28);
        QCOMPARE(page->ComboBox3->currentText(), QStringLiteral("28"));
        page->ComboBox3->setCurrentIndex(4);
        page->ComboBox2->setCurrentIndex(11); // December keeps the 5th
        QCOMPARE(days(), 31);
        QCOMPARE(page->ComboBox3->currentText(), QStringLiteral("5"));
        QCOMPARE(page->ComboBox3->itemText(30), QStringLiteral("31"));

        // Each date has its own lists.
        page->ComboBox8->setCurrentIndex(10);
        QCOMPARE(page->ComboBox9->count(), 30);
        QCOMPARE(page->ComboBox6->count(), 30); // June, from the fixed clock
        QCOMPARE(days(), 31);
    }

    void dayListWithoutSelections()
    {
        PageForm page;
        page->ComboBox3->clear();
        page->ComboBox1->setCurrentIndex(-1);
        page->ComboBox2->setCurrentIndex(1);
        QCOMPARE(page->ComboBox3->count(), 28); // no year: not a leap year
        QCOMPARE(page->ComboBox3->currentIndex(), 27);
        page->ComboBox2->setCurrentIndex(-1);
        QCOMPARE(page->ComboBox3->count(), 28); // no month: left as it is
    }

    void cellLooks()
    {
        PageForm page;
        page.setActiveCount(25);
        const auto look = [&](int c, int r) { return views::LookOfCell(page->StringGrid1, 25, c, r); };
        const QColor text = page->StringGrid1->palette().color(QPalette::WindowText);

        QCOMPARE(look(3, 0).text, QStringLiteral("2"));
        QCOMPARE(look(13, 0).text, QStringLiteral("2"));
        QCOMPARE(look(0, 9).text, QStringLiteral("160"));
        QCOMPARE(look(0, 9).background, page->StringGrid1->palette().color(QPalette::Button));

        page.setEntry(25, QStringLiteral("7"));
        QCOMPARE(look(6, 2).text, QStringLiteral("N/A")); // entry 25
        QCOMPARE(look(6, 2).textColor, views::InactiveText);
        QCOMPARE(look(1, 9).text, QStringLiteral("N/A"));

        const struct {
            const char *cell;
            bool red;
        } cases[] = {{"0", true}, {"181", true}, {"1a", true}, {"-1", true},
                     {"1", false}, {"180", false}, {"", false}};
        for (const auto &c : cases) {
            page.setEntry(24, QLatin1String(c.cell)); // column 5, row 2: active
            QCOMPARE(look(5, 2).text, QLatin1String(c.cell));
            QCOMPARE(look(5, 2).textColor, c.red ? views::BadEntryText : text);
        }
    }

    void paintedGridShowsTheMarks()
    {
        PageForm page;
        page.setActiveCount(2);
        page.setEntry(0, QStringLiteral("999"));
        const QImage image = page->StringGrid1->grab().toImage();
        const auto hasColour = [&](int column, int row, const QColor &colour) {
            const QRect rect = page->StringGrid1->visualRect(
                page->StringGrid1->model()->index(row, column));
            const QPoint offset = page->StringGrid1->viewport()->pos();
            for (int y = rect.top(); y <= rect.bottom(); ++y)
                for (int x = rect.left(); x <= rect.right(); ++x)
                    if (image.pixelColor(QPoint(x, y) + offset) == colour)
                        return true;
            return false;
        };
        QVERIFY(hasColour(1, 1, views::BadEntryText));
        QVERIFY(!hasColour(2, 1, views::InactiveText)); // active, empty
        QVERIFY(hasColour(3, 1, views::InactiveText));
    }

    void editingFollowsTheCurrentCell()
    {
        PageForm page;
        showAndFocus(page);
        page.setActiveCount(25);
        QTableWidget *grid = page->StringGrid1;
        grid->setFocus();

        page.setEntry(25, QStringLiteral("7"));
        grid->setCurrentCell(2, 6); // entry 25: inactive
        QCOMPARE(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(!cellEditor(page));
        QTest::keyClicks(grid, QStringLiteral("5"));
        QCOMPARE(page.entry(25), QStringLiteral("7"));
        QVERIFY(!cellEditor(page));

        QTest::keyClick(grid, Qt::Key_Left); // entry 24: active, opened at once
        QCOMPARE(grid->currentColumn(), 5);
        QLineEdit *editor = cellEditor(page);
        QVERIFY(editor);
        QVERIFY(grid->editTriggers() != QAbstractItemView::NoEditTriggers);

        editor->clear();
        QTest::keyClicks(editor, QStringLiteral("1x2345"));
        QCOMPARE(editor->text(), QStringLiteral("1234")); // fifth digit refused
        QCOMPARE(page.entry(24), QStringLiteral("1234")); // the cell follows the typing
        QTest::keyClick(editor, Qt::Key_Backspace);
        QCOMPARE(page.entry(24), QStringLiteral("123"));

        // Fixed cells never become current.
        const QRect fixed = grid->visualRect(grid->model()->index(0, 3));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, fixed.center());
        QCOMPARE(grid->currentRow(), 2);
        QCOMPARE(grid->currentColumn(), 5);

        // Programmatic moves count too.
        grid->setCurrentCell(9, 20);
        QCOMPARE(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    }

    void validationFindsTheFirstBadEntry()
    {
        PageForm page;
        showAndFocus(page);
        page.setActiveCount(25);
        page->Button5Click();
        QVERIFY(page->ValidateRangeMapping());

        page.setEntry(25, QStringLiteral("junk")); // inactive: not checked
        QVERIFY(page->ValidateRangeMapping());
        page.setEntry(21, QString());
        page.setEntry(3, QStringLiteral("181"));
        QVERIFY(!page->ValidateRangeMapping());
        QCOMPARE(page->StringGrid1->currentRow(), 1);
        QCOMPARE(page->StringGrid1->currentColumn(), 4);
        QVERIFY(cellEditor(page));

        page.setEntry(3, QStringLiteral("4"));
        QVERIFY(!page->ValidateRangeMapping());
        QCOMPARE(page->StringGrid1->currentRow(), 2); // entry 21: empty fails too
        QCOMPARE(page->StringGrid1->currentColumn(), 2);
        QVERIFY(cellEditor(page));
        QVERIFY(page->StringGrid1->hasFocus() || cellEditor(page)->hasFocus());

        page->ComboBox10->setCurrentIndex(-1);
        QVERIFY(page->ValidateRangeMapping());
    }

    void resetNumbersTheActiveCells()
    {
        PageForm page;
        for (int e = 0; e < 180; ++e)
            page.setEntry(e, QStringLiteral("x"));
        page.setActiveCount(25);
        page->Button5Click();
        QCOMPARE(page.entry(0), QStringLiteral("1"));
        QCOMPARE(page.cell(5, 2), QStringLiteral("25"));
        QCOMPARE(page.entry(25), QStringLiteral("x"));
        QCOMPARE(page.cell(0, 2), QStringLiteral("20")); // labels untouched

        page.setActiveCount(180);
        page->Button5Click();
        for (int e = 0; e < 180; ++e)
            QCOMPARE(page.entry(e), QString::number(e + 1));
    }

    void sendParametersChecksFirst()
    {
        PageForm page;
        testsupport::ScriptedPrompts prompts;
        page.setActiveCount(3);
        page->Button5Click();
        page.setEntry(1, QString());
        page->RangeFrom = 5;
        QTest::mouseClick(page->Button2, Qt::LeftButton);
        QCOMPARE(prompts.beeps, QList<int>{16});
        QCOMPARE(page->RangeFrom, 5); // stopped before anything else
        QCOMPARE(page->StringGrid1->currentColumn(), 2);

        // A pasted text that never lost the focus is judged before sending.
        page.setEntry(1, QStringLiteral("2"));
        page->Edit1->setText(QStringLiteral("x1"));
        page->Edit3->setText(QStringLiteral("70000"));
        QTest::mouseClick(page->Button2, Qt::LeftButton);
        QCOMPARE(prompts.beeps.size(), 1);
        QCOMPARE(page->Edit1->text(), QStringLiteral("0"));
        QCOMPARE(page->Edit3->text(), QStringLiteral("65535"));
        QCOMPARE(page->RangeFrom, 0);
    }

    void sendParametersRefusesWhatCannotBeCopied()
    {
        PageForm page;
        testsupport::ScriptedPrompts prompts;
        page.setActiveCount(1);
        page.setEntry(0, QStringLiteral("1"));
        page->Edit2->setText(QStringLiteral("many")); // the page never does this itself
        page->RangeFrom = 5;
        QTest::mouseClick(page->Button2, Qt::LeftButton);
        QCOMPARE(page->RangeFrom, 5);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].text, QStringLiteral("'many' is not a valid integer value."));
    }

    void revertAsksFirst()
    {
        PageForm page;
        testsupport::ScriptedPrompts prompts;
        prompts.answers.enqueue(false);
        QTest::mouseClick(page->Button6, Qt::LeftButton);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].text, QStringLiteral("Restore to the first parameters set?"));
        QCOMPARE(prompts.messages[0].caption, QStringLiteral("Confirm"));
        QVERIFY(prompts.messages[0].question);
    }
};

QTEST_MAIN(TestDeviceData)
#include "tst_devicedata.moc"
