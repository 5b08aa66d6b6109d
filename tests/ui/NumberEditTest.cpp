#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QTest>

#include "ui/NumberEdit.h"

namespace {

void LoseFocus(TNumberEdit& edit) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(&edit, &out);
}

TEST(NumberEditTest, OnlyDigitsCanBeTypedButPastedTextIsKept) {
    TNumberEdit edit;
    edit.setMaxLength(5);
    QTest::keyClicks(&edit, "1a2-3 b.");
    EXPECT_EQ(edit.text(), "123");
    QTest::keyClick(&edit, Qt::Key_Backspace);
    EXPECT_EQ(edit.text(), "12");

    edit.clear();
    QApplication::clipboard()->setText("ab-1");
    edit.paste();
    EXPECT_EQ(edit.text(), "ab-1");
}

TEST(NumberEditTest, MaximumLengthLimitsTypingOnly) {
    TNumberEdit edit;
    edit.setMaxLength(5);
    QStringList seen;
    QObject::connect(&edit, &TNumberEdit::Change, [&] { seen << edit.text(); });
    // A stored port of 100000 is shown, and read back, whole.
    edit.setText("100000");
    EXPECT_EQ(edit.text(), "100000");
    EXPECT_EQ(seen, QStringList({"100000"}));

    edit.clear();
    QTest::keyClicks(&edit, "123456");
    EXPECT_EQ(edit.text(), "12345");
    edit.setSelection(1, 2);
    QTest::keyClicks(&edit, "09");
    EXPECT_EQ(edit.text(), "10945");  // typing over a selection has room
    QApplication::clipboard()->setText("7654321");
    edit.selectAll();
    edit.paste();
    EXPECT_EQ(edit.text(), "7654321");
}

TEST(NumberEditTest, PaddingWaitsForTheProgramOrTheFocusLeaving) {
    TNumberEdit edit;
    edit.setMaxLength(5);
    edit.SetPadNumber(true);
    EXPECT_EQ(edit.text(), "00000");

    struct Case {
        const char* set;
        const char* shown;
    } cases[] = {{"42", "00042"},
                 {"x9", "00000"},
                 {"12345", "12345"},
                 {"123456", "123456"},
                 {"+8", "00008"}};
    for (const Case& c : cases) {
        edit.setText(c.set);
        EXPECT_EQ(edit.text(), c.shown) << c.set;
    }

    // Typing and deleting never pad; leaving the box does.
    edit.selectAll();
    QTest::keyClicks(&edit, "7");
    EXPECT_EQ(edit.text(), "7");
    LoseFocus(edit);
    EXPECT_EQ(edit.text(), "00007");
    edit.selectAll();
    QTest::keyClick(&edit, Qt::Key_Backspace);
    EXPECT_EQ(edit.text(), "");
    LoseFocus(edit);
    EXPECT_EQ(edit.text(), "00000");
}

TEST(NumberEditTest, ChangeFiresForTheSetTextThenForThePaddedText) {
    TNumberEdit edit;
    edit.setMaxLength(5);
    edit.SetPadNumber(true);
    QStringList seen;
    QObject::connect(&edit, &TNumberEdit::Change, [&] { seen << edit.text(); });
    QString atExit;
    QObject::connect(&edit, &TNumberEdit::Exit, [&] { atExit = edit.text(); });
    edit.setText("42");
    EXPECT_EQ(seen, QStringList({"42", "00042"}));

    seen.clear();
    edit.selectAll();
    QTest::keyClick(&edit, Qt::Key_3);
    EXPECT_EQ(seen, QStringList({"3"}));
    LoseFocus(edit);
    EXPECT_EQ(atExit, "00003");
}

TEST(NumberEditTest, SwitchingPaddingOffDropsLeadingZeros) {
    struct Case {
        const char* before;
        const char* after;
    } cases[] = {{"00042", "42"}, {"", "0"}, {"abc", "0"}, {"7", "7"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        TNumberEdit edit;
        edit.setText(c.before);
        edit.SetPadNumber(false);
        EXPECT_EQ(edit.text(), c.after);
    }
}

TEST(NumberEditTest, WithoutPaddingTheTextIsNeverChanged) {
    TNumberEdit edit;
    edit.setMaxLength(5);
    edit.setText("007");
    QTest::keyClicks(&edit, "12");
    LoseFocus(edit);
    EXPECT_EQ(edit.text(), "00712");
    // No maximum length set: padding has nothing to pad to.
    TNumberEdit unlimited;
    unlimited.SetPadNumber(true);
    unlimited.setText("0042");
    EXPECT_EQ(unlimited.text(), "42");
}

TEST(NumberEditTest, AlignmentAndNumberHelpers) {
    TNumberEdit edit;
    EXPECT_EQ(edit.Align(), neRight);
    EXPECT_TRUE(edit.alignment() & Qt::AlignRight);
    edit.SetAlign(neLeft);
    EXPECT_TRUE(edit.alignment() & Qt::AlignLeft);

    EXPECT_EQ(TNumberEdit::Padded(42, 5), "00042");
    EXPECT_EQ(TNumberEdit::Padded(123456, 5), "123456");
    EXPECT_EQ(TNumberEdit::Padded(-42, 5), "-00042");
    EXPECT_EQ(TNumberEdit::Padded(7, 0), "7");
    EXPECT_EQ(TNumberEdit::TextToInt("99999999999"), 0);
    EXPECT_EQ(TNumberEdit::TextToInt("13769"), 13769);
}

}  // namespace
