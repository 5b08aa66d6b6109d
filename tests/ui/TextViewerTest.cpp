#include "ui/TextViewer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include "platform/FileDialogs.h"
#include "tests/support/TestSupport.h"
#include "ui/ShowMessage.h"

using namespace std::string_literals;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

using TPos = TTextViewer::TPos;

void Wheel(QWidget* Target, QPoint PixelDelta, QPoint AngleDelta) {
    const QPointF at(10, 10);
    QWheelEvent event(at, Target->mapToGlobal(at), PixelDelta, AngleDelta, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(Target, &event);
}

// Runs Fn on the context menu once it has opened.
template <class Fn>
void WhenMenuOpen(Fn fn) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, fn] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            poll->stop();
            poll->deleteLater();
            fn(menu);
        }
    });
    poll->start(10);
}

// Every mouse and key action a user has on the text.
struct Action {
    const char* name;
    std::function<void(TTextViewer*)> run;
};

std::vector<Action> EveryAction() {
    auto area = [](TTextViewer* v) { return v->viewport(); };
    auto mid = [](TTextViewer* v) { return v->viewport()->rect().center(); };
    auto below = [](TTextViewer* v) { return QPoint(20, v->viewport()->height() + 40); };
    return {
        {"click", [=](TTextViewer* v) { QTest::mouseClick(area(v), Qt::LeftButton, {}, mid(v)); }},
        {"click at the top left",
         [=](TTextViewer* v) { QTest::mouseClick(area(v), Qt::LeftButton, {}, QPoint(0, 0)); }},
        {"shift-click",
         [=](TTextViewer* v) {
             QTest::mouseClick(area(v), Qt::LeftButton, Qt::ShiftModifier, mid(v));
         }},
        {"right-click press",
         [=](TTextViewer* v) { QTest::mousePress(area(v), Qt::RightButton, {}, mid(v)); }},
        {"double-click",
         [=](TTextViewer* v) { QTest::mouseDClick(area(v), Qt::LeftButton, {}, mid(v)); }},
        {"double-click at the top left",
         [=](TTextViewer* v) { QTest::mouseDClick(area(v), Qt::LeftButton, {}, QPoint(1, 1)); }},
        {"double-click below the text",
         [=](TTextViewer* v) { QTest::mouseDClick(area(v), Qt::LeftButton, {}, below(v)); }},
        {"drag-select out of the view",
         [=](TTextViewer* v) {
             QTest::mousePress(area(v), Qt::LeftButton, {}, QPoint(2, 2));
             QTest::mouseMove(area(v), mid(v));
             QTest::mouseMove(area(v), below(v));
             QTest::mouseMove(area(v), QPoint(2, -30));
             QTest::mouseRelease(area(v), Qt::LeftButton, {}, QPoint(2, -30));
         }},
        {"Ctrl+A", [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier); }},
        {"Ctrl+C", [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier); }},
        {"Ctrl+Insert",
         [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_Insert, Qt::ControlModifier); }},
        {"arrows and pages",
         [](TTextViewer* v) {
             for (const Qt::Key key : {Qt::Key_Down, Qt::Key_Up, Qt::Key_Left, Qt::Key_Right,
                                       Qt::Key_PageDown, Qt::Key_PageUp, Qt::Key_End, Qt::Key_Home})
                 QTest::keyClick(v, key);
             QTest::keyClick(v, Qt::Key_Down, Qt::ShiftModifier);
         }},
        {"wheel",
         [=](TTextViewer* v) {
             Wheel(area(v), {}, QPoint(0, -360));
             Wheel(area(v), {}, QPoint(0, 360));
             Wheel(area(v), QPoint(0, -500), QPoint(0, -120));
         }},
        {"scroll bar", [](TTextViewer* v) { v->verticalScrollBar()->setValue(5); }},
        {"resize",
         [](TTextViewer* v) {
             v->resize(1, 1);
             QCoreApplication::processEvents();
             v->resize(431, 251);
             QCoreApplication::processEvents();
         }},
        {"paint", [](TTextViewer* v) { v->viewport()->repaint(); }},
        {"context menu, every item",
         [](TTextViewer* v) {
             for (int item = 0; item < 2; ++item) {
                 WhenMenuOpen([item](QMenu* menu) {
                     menu->actions().at(item)->trigger();
                     menu->close();
                 });
                 QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                         v->viewport()->mapToGlobal(QPoint(5, 5)));
                 QApplication::sendEvent(v->viewport(), &event);
             }
         }},
        {"select and copy by call",
         [](TTextViewer* v) {
             v->Select({3, 7}, {-2, 99});
             v->SelectAll();
             v->Copy();
         }},
    };
}

class TextViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = new TfShowMessage(dialogs);
        viewer = window->redMessage;
    }
    void TearDown() override { delete window; }

    // Shows the window and runs the actions on the text, as a user would.
    void RunEveryAction() {
        window->ShowViewer();
        viewer->setFocus();
        for (const Action& a : EveryAction()) {
            SCOPED_TRACE(a.name);
            a.run(viewer);
            QCoreApplication::processEvents();
        }
    }

    std::string Path(const std::string& name) const { return TempDir() + "/" + name; }

    TFileDialogs dialogs;
    TfShowMessage* window = nullptr;
    TTextViewer* viewer = nullptr;
};

TEST_F(TextViewerTest, EmptyViewerIsSafeForEveryAction) {
    const std::string emptyFile = Path("empty saved messages.txt");
    WriteFile(emptyFile, "");
    struct Case {
        const char* name;
        std::function<void(TfShowMessage*)> fill;
    } cases[] = {
        {"request with an empty text", [](TfShowMessage* w) { w->SetText(""); }},
        {"text starting with NUL", [](TfShowMessage* w) { w->SetText("\0hidden\r\nrest"s); }},
        {"0-byte saved-messages file",
         [&](TfShowMessage* w) { w->LoadTextFile(QString::fromStdString(emptyFile)); }},
        {"session log without its start entry", [](TfShowMessage* w) { w->AddLines({}); }},
        {"emptied after some text",
         [](TfShowMessage* w) {
             w->SetText("some\r\ntext");
             w->redMessage->Select({1, 2}, {0, 1});
             w->SetText("");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        c.fill(window);
        RunEveryAction();

        EXPECT_EQ(viewer->LineCount(), 0);
        EXPECT_EQ(viewer->RowCount(), 0);
        EXPECT_EQ(viewer->Content(), "");
        EXPECT_FALSE(viewer->HasSelection());
        EXPECT_EQ(viewer->SelectedBytes(), "");
        EXPECT_EQ(viewer->RowText(0), QString());
        EXPECT_EQ(viewer->verticalScrollBar()->value(), 0);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("before"));

        // Save, whole and as a selection, writes an empty file.
        for (const bool selectionOnly : {false, true}) {
            const std::string file = Path("empty save.txt");
            WriteFile(file, "stale");
            window->cbSaveSelection->setChecked(selectionOnly);
            dialogs.SetNextAnswers({QString::fromStdString(file)});
            window->btnSave->click();
            EXPECT_EQ(ReadFile(file), "");
        }
        window->cbSaveSelection->setChecked(false);
    }
}

TEST_F(TextViewerTest, EveryActionOnTextKeepsItWhole) {
    std::string text;
    for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + " caf\xe9\r\n";
    text += std::string(3 * TTextViewer::MaxRowBytes, 'x') + "\r\n\r\nlast";
    window->SetText(text);
    const std::string content = viewer->Content();
    RunEveryAction();
    EXPECT_EQ(viewer->Content(), content);
    EXPECT_TRUE(viewer->HasSelection());  // Ctrl+A and SelectAll ran
}

TEST_F(TextViewerTest, SelectionGivesTheBytesAndTheShownText) {
    // Rows: "caf\xe9 one" (Windows-1252), "na\xc3\xafve 😀 two" (UTF-8), "",
    // "three".
    window->SetText("caf\xe9 one\r\nna\xc3\xafve \xf0\x9f\x98\x80 two\r\n\r\nthree");
    struct Case {
        const char* name;
        TPos from, to;
        std::string bytes;
        QString text;
    } cases[] = {
        {"inside a Windows-1252 line", {0, 2}, {0, 4}, "f\xe9", u"fé"_qs},
        {"inside a UTF-8 line", {1, 1}, {1, 4}, "a\xc3\xafv", u"aïv"_qs},
        {"a character outside the BMP", {1, 6}, {1, 8}, "\xf0\x9f\x98\x80", u"😀"_qs},
        {"backwards over an empty line", {3, 2}, {1, 8}, " two\r\n\r\nth", u" two\n\nth"_qs},
        {"clamped to the text",
         {-5, -5},
         {99, 99},
         "caf\xe9 one\r\nna\xc3\xafve \xf0\x9f\x98\x80 two\r\n\r\nthree",
         u"café one\nnaïve 😀 two\n\nthree"_qs},
        {"nothing", {1, 3}, {1, 3}, "", u""_qs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        viewer->Select(c.from, c.to);
        EXPECT_EQ(viewer->SelectedBytes(), c.bytes);
        EXPECT_EQ(viewer->SelectedText(), c.text);
        EXPECT_EQ(viewer->HasSelection(), !c.bytes.empty());
    }

    // A line longer than a row is still one line: no break inside it.
    const std::string longLine(2 * TTextViewer::MaxRowBytes + 10, 'y');
    window->SetText("a\r\n" + longLine + "\r\nz");
    viewer->Select({0, 0}, {viewer->RowCount() - 1, 1});
    EXPECT_EQ(viewer->SelectedBytes(), "a\r\n" + longLine + "\r\nz");
    EXPECT_EQ(viewer->SelectedText(), QString::fromStdString("a\n" + longLine + "\nz"));
}

TEST_F(TextViewerTest, MouseSelectsWordsAndRanges) {
    window->SetText("first caf\xe9 line\r\nsecond_word here\r\nthird");
    window->ShowViewer();
    QWidget* area = viewer->viewport();
    const int line = viewer->fontMetrics().lineSpacing();
    const auto rowY = [&](int row) { return row * line + line / 2; };
    const int charWidth = viewer->fontMetrics().horizontalAdvance(QLatin1Char('f'));

    // A double-click takes the word, underscores and accented letters included.
    QTest::mouseDClick(area, Qt::LeftButton, {}, QPoint(4 + charWidth / 2, rowY(1)));
    EXPECT_EQ(viewer->SelectedBytes(), "second_word");
    const int cafe = viewer->fontMetrics().horizontalAdvance(QStringLiteral("first c"));
    QTest::mouseDClick(area, Qt::LeftButton, {}, QPoint(3 + cafe, rowY(0)));
    EXPECT_EQ(viewer->SelectedBytes(), "caf\xe9");

    // Press on one line, shift-click on another: the range between.
    QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(1, rowY(0)));
    QTest::mouseClick(area, Qt::LeftButton, Qt::ShiftModifier, QPoint(area->width() - 2, rowY(1)));
    EXPECT_EQ(viewer->SelectedBytes(), "first caf\xe9 line\r\nsecond_word here");

    // Dragging upwards past the top selects back to the start.
    QTest::mousePress(area, Qt::LeftButton, {}, QPoint(area->width() - 2, rowY(2)));
    QTest::mouseMove(area, QPoint(1, -10));
    QTest::mouseRelease(area, Qt::LeftButton, {}, QPoint(1, -10));
    EXPECT_EQ(viewer->SelectedBytes(), "first caf\xe9 line\r\nsecond_word here\r\nthird");

    // A plain click drops the selection.
    QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(1, rowY(1)));
    EXPECT_FALSE(viewer->HasSelection());
}

TEST_F(TextViewerTest, CopyPutsTheSelectionOnTheClipboard) {
    window->ShowViewer();
    QClipboard* clipboard = QGuiApplication::clipboard();
    struct Case {
        const char* name;
        std::string text;
        std::function<void(TTextViewer*)> select, copy;
        QString copied;  // null: the clipboard keeps what it had
    } cases[] = {
        {"one line, Ctrl+A then Ctrl+C", "only line",
         [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier); },
         [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier); },
         u"only line"_qs},
        {"part of a line, Ctrl+C", "caf\xe9 au lait",
         [](TTextViewer* v) {
             v->Select({0, 0}, {0, 4});
         },
         [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier); }, u"café"_qs},
        {"several lines, Ctrl+Insert", "one\r\ntwo\nthree",
         [](TTextViewer* v) {
             v->Select({0, 1}, {2, 2});
         },
         [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_Insert, Qt::ControlModifier); },
         u"ne\ntwo\nth"_qs},
        {"control characters as shown", "a\tb\x01"s, [](TTextViewer* v) { v->SelectAll(); },
         [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier); },
         u"a\tb\u2401"_qs},
        {"context menu", "menu text", [](TTextViewer* v) { v->SelectAll(); },
         [](TTextViewer* v) {
             WhenMenuOpen([](QMenu* menu) {
                 for (QAction* action : menu->actions())
                     if (action->text() == "&Copy") action->trigger();
                 menu->close();
             });
             QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                     v->viewport()->mapToGlobal(QPoint(5, 5)));
             QApplication::sendEvent(v->viewport(), &event);
         },
         u"menu text"_qs},
        {"nothing selected", "text",
         [](TTextViewer* v) {
             v->Select({0, 1}, {0, 1});
         },
         [](TTextViewer* v) { QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier); }, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window->SetText(c.text);
        clipboard->setText(u"before"_qs);
        viewer->setFocus();
        c.select(viewer);
        const std::string selected = viewer->SelectedBytes();
        c.copy(viewer);
        EXPECT_EQ(clipboard->text(), c.copied.isNull() ? u"before"_qs : c.copied);
        EXPECT_EQ(viewer->SelectedBytes(), selected);
    }
}

}  // namespace
