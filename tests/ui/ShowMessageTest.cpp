#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QWindow>

#include "platform/Exceptions.h"
#include "platform/FileDialogs.h"
#include "store/MessageLog.h"
#include "tests/support/TestSupport.h"
#include "ui/ShowMessage.h"
#include "ui/TextViewer.h"

using namespace std::string_literals;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// CPU time of the calling thread.
double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void ProcessDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

// Collects what reaches the application's exception handler.
struct CaughtErrors {
    CaughtErrors() {
        previous = SetExceptionHandler(
            [this](QObject*, const Exception& e) { messages.push_back(e.Message()); });
    }
    ~CaughtErrors() { SetExceptionHandler(previous); }
    std::vector<std::string> messages;
    TExceptionEvent previous;
};

class ShowMessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = new TfShowMessage(dialogs, [this](TfShowMessage* w) { destroyed.push_back(w); });
    }
    void TearDown() override { delete window.data(); }

    std::string Path(const std::string& name) const { return TempDir() + "/" + name; }

    TFileDialogs dialogs;
    std::vector<TfShowMessage*> destroyed;
    QPointer<TfShowMessage> window;
};

TEST_F(ShowMessageTest, TitleIsPrefixedAndShownAsItStands) {
    window->SetTitle("Message from pc1 (10.0.0.7)");
    EXPECT_EQ(window->windowTitle().toStdString(), "Wexlo  -  Message from pc1 (10.0.0.7)");

    // A peer's name is shown literally, markup and Qt's "[*]" marker included,
    // and a Windows-1252 name keeps its accented letter.
    window->SetTitle("Message from <b>caf\xe9</b> [*] (10.0.0.7)");
    window->winId();
    EXPECT_EQ(window->windowHandle()->title(),
              QString::fromUtf8("Wexlo  -  Message from <b>café</b> [*] (10.0.0.7)"));
}

TEST_F(ShowMessageTest, AlertsAndViewersShowTheirOwnControls) {
    struct Case {
        const char* name;
        bool alert, autoResponse;
        bool saveShown, labelShown;
    } cases[] = {
        {"alert", true, false, false, false},
        {"alert in auto-response mode", true, true, false, true},
        {"viewer", false, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* w = new TfShowMessage(dialogs);
        if (c.alert)
            w->ShowAlert(false, c.autoResponse);
        else
            w->ShowViewer();
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->btnSave->isVisible(), c.saveShown);
        EXPECT_EQ(w->cbSaveSelection->isVisible(), c.saveShown);
        EXPECT_EQ(w->lblAutoResponse->isVisible(), c.labelShown);
        EXPECT_EQ(w->lblAutoResponse->text(), "(Auto-response message sent)");
        EXPECT_EQ(w->size(), QSize(442, 298));
        EXPECT_TRUE(w->parentWidget() == nullptr);  // own taskbar entry
        delete w;
    }
}

TEST_F(ShowMessageTest, SetTextSplitsAtEveryLineEndAndStopsAtNul) {
    struct Case {
        std::string text;
        std::string content;  // as saved: every line followed by CR LF
    } cases[] = {
        {"", ""},
        {"one", "one\r\n"},
        {"a\r\nb\rc\nd", "a\r\nb\r\nc\r\nd\r\n"},
        {"a\r\n", "a\r\n"},
        {"\n\n", "\r\n\r\n"},
        {"\r\r\n\n", "\r\n\r\n\r\n"},
        {"shown\r\nalso\0hidden\r\nhidden too"s, "shown\r\nalso\r\n"},
        {"\0everything hidden"s, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        window->SetText("old content that must go");
        window->SetText(c.text);
        EXPECT_EQ(window->redMessage->Content(), c.content);
    }
}

TEST_F(ShowMessageTest, AddLinesShowsEachItemAsWrittenToAFile) {
    const TStringList log = {"From pc1 (10.0.0.7) at 10:00:00, 01/02/2024", SeparatorLine,
                             "two\r\nlines\r\n\r\n\r\n", "", "single\r\n\r\n"};
    window->AddLines(log);
    EXPECT_EQ(window->redMessage->Content(), TextOf(log));

    // A NUL ends its own item only.
    window->SetText("");
    window->AddLines({"kept\0cut"s, "next"});
    EXPECT_EQ(window->redMessage->Content(), "kept\r\nnext\r\n");
}

TEST_F(ShowMessageTest, TextIsDecodedLineByLineAndShownPlain) {
    window->SetText("<b>caf\xe9</b>\r\nna\xc3\xafve <img src=x>\r\ntab\there\x08");
    EXPECT_EQ(window->redMessage->RowText(0), QString::fromUtf8("<b>café</b>"));
    EXPECT_EQ(window->redMessage->RowText(1), QString::fromUtf8("naïve <img src=x>"));
    // Control characters other than tab show as their pictures.
    EXPECT_EQ(window->redMessage->RowText(2), QString::fromUtf8("tab\there\u2408"));
}

TEST_F(ShowMessageTest, LoadTextFileKeepsEveryByteAndReportsAMissingFile) {
    const std::string file = Path("saved.txt");
    WriteFile(file, "first\nwith\0nul\r\nlast"s);
    window->LoadTextFile(QString::fromStdString(file));
    EXPECT_EQ(window->redMessage->Content(), "first\r\nwith\0nul\r\nlast\r\n"s);

    try {
        window->LoadTextFile(QString::fromStdString(Path("missing.txt")));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + Path("missing.txt"));
    }
}

TEST_F(ShowMessageTest, SaveAddsTxtOnlyWhenTheNameHasNoExtension) {
    std::filesystem::create_directories(Path("dir.d"));
    struct Case {
        std::string typed, written;
    } cases[] = {
        {"plain", "plain.txt"},
        {"notes.log", "notes.log"},
        {"archive.", "archive."},
        {"dir.d/inside", "dir.d/inside.txt"},
    };
    window->SetText("hello\r\nworld");
    window->ShowViewer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        dialogs.SetNextAnswers({QString::fromStdString(Path(c.typed))});
        window->btnSave->click();
        EXPECT_EQ(ReadFile(Path(c.written)), "hello\r\nworld\r\n");
    }
    const TFileDialogRequest& asked = dialogs.Requests().back();
    EXPECT_EQ(asked.Filter, "Text file (*.txt);;All files (*)");
    EXPECT_EQ(asked.DefaultSuffix, "txt");
    EXPECT_TRUE(asked.ConfirmOverwrite);

    // Cancel writes nothing; an existing file is replaced whole.
    dialogs.SetNextAnswers({std::nullopt});
    window->btnSave->click();
    EXPECT_FALSE(std::filesystem::exists(Path("plain.txt.txt")));
    WriteFile(Path("old.txt"), std::string(1000, 'x'));
    dialogs.SetNextAnswers({QString::fromStdString(Path("old.txt"))});
    window->btnSave->click();
    EXPECT_EQ(ReadFile(Path("old.txt")), "hello\r\nworld\r\n");
}

TEST_F(ShowMessageTest, SaveSelectionOnlyWritesTheSelectedBytes) {
    // UTF-8 and Windows-1252 lines: the selection is saved as the bytes it
    // came from, not re-encoded.
    window->SetText("caf\xe9 one\r\nna\xc3\xafve two\r\nthree");
    window->ShowViewer();
    const std::string file = Path("selection.txt");
    struct Case {
        bool option;
        TTextViewer::TPos from, to;
        std::string saved;
    } cases[] = {
        {true, {0, 2}, {0, 4}, "f\xe9\r\n"},
        {true, {1, 2}, {1, 5}, "\xc3\xafve\r\n"},
        {true, {2, 5}, {0, 5}, "one\r\nna\xc3\xafve two\r\nthree\r\n"},
        {true, {1, 1}, {1, 1}, "caf\xe9 one\r\nna\xc3\xafve two\r\nthree\r\n"},  // nothing selected
        {false, {0, 0}, {0, 3}, "caf\xe9 one\r\nna\xc3\xafve two\r\nthree\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.saved);
        window->cbSaveSelection->setChecked(c.option);
        window->redMessage->Select(c.from, c.to);
        dialogs.SetNextAnswers({QString::fromStdString(file)});
        window->btnSave->click();
        EXPECT_EQ(ReadFile(file), c.saved);
    }
}

TEST_F(ShowMessageTest, UnwritableFileIsReportedAndTheWindowKeepsItsText) {
    CaughtErrors errors;
    window->SetText("keep me");
    window->ShowViewer();
    const std::string target = Path("no such folder/out.txt");
    dialogs.SetNextAnswers({QString::fromStdString(Path("no such folder/out"))});
    window->btnSave->click();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0], "Cannot create file " + target);
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->redMessage->Content(), "keep me\r\n");

    // A folder in the way of the name: the old folder is untouched.
    std::filesystem::create_directories(Path("taken.txt"));
    dialogs.SetNextAnswers({QString::fromStdString(Path("taken.txt"))});
    window->btnSave->click();
    EXPECT_EQ(errors.messages.size(), 2u);
    EXPECT_TRUE(std::filesystem::is_directory(Path("taken.txt")));
}

TEST_F(ShowMessageTest, OnTopFollowsTheOptionWithoutMovingTheWindow) {
    window->ShowAlert(true, false);
    EXPECT_TRUE(window->OnTop());
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(window->windowHandle()->flags() & Qt::WindowStaysOnTopHint);

    window->move(123, 77);
    const QRect before = window->geometry();
    window->SetOnTop(false);
    EXPECT_FALSE(window->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->geometry(), before);
    window->SetOnTop(true);
    EXPECT_TRUE(window->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(window->geometry(), before);

    auto* viewer = new TfShowMessage(dialogs);
    viewer->ShowViewer();
    EXPECT_FALSE(viewer->windowFlags() & Qt::WindowStaysOnTopHint);
    delete viewer;
}

TEST_F(ShowMessageTest, ClosingDestroysTheWindowAndTellsTheOwner) {
    struct Case {
        const char* name;
        std::function<void(TfShowMessage*)> close;
    } cases[] = {
        {"OK button", [](TfShowMessage* w) { w->btnOK->click(); }},
        {"Enter in the text",
         [](TfShowMessage* w) { QTest::keyClick(w->redMessage, Qt::Key_Return); }},
        {"Esc in the text",
         [](TfShowMessage* w) { QTest::keyClick(w->redMessage, Qt::Key_Escape); }},
        {"close box", [](TfShowMessage* w) { w->close(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        destroyed.clear();
        auto* w = new TfShowMessage(dialogs, [this](TfShowMessage* x) { destroyed.push_back(x); });
        const QPointer<TfShowMessage> alive(w);
        w->SetText("hello");
        w->ShowAlert(false, false);
        c.close(w);
        ProcessDeferredDeletes();
        EXPECT_FALSE(alive);
        ASSERT_EQ(destroyed.size(), 1u);
        EXPECT_EQ(destroyed[0], w);
    }
}

TEST_F(ShowMessageTest, MouseDragSelectsAndKeysScroll) {
    window->SetText("first line\r\nsecond line");
    window->ShowViewer();
    QWidget* area = window->redMessage->viewport();
    const int lineHeight = window->redMessage->fontMetrics().lineSpacing();
    QTest::mousePress(area, Qt::LeftButton, {}, QPoint(2, lineHeight / 2));
    QTest::mouseMove(area, QPoint(area->width() - 2, lineHeight + lineHeight / 2));
    QTest::mouseRelease(area, Qt::LeftButton, {},
                        QPoint(area->width() - 2, lineHeight + lineHeight / 2));
    EXPECT_EQ(window->redMessage->SelectedBytes(), "first line\r\nsecond line");

    QTest::mouseDClick(area, Qt::LeftButton, {}, QPoint(5, lineHeight + lineHeight / 2));
    EXPECT_EQ(window->redMessage->SelectedBytes(), "second");

    std::string many;
    for (int i = 0; i < 1000; ++i) many += "line " + std::to_string(i) + "\r\n";
    window->SetText(many);
    QScrollBar* bar = window->redMessage->verticalScrollBar();
    QTest::keyClick(window->redMessage, Qt::Key_End);
    EXPECT_GT(bar->maximum(), 900);
    EXPECT_EQ(bar->value(), bar->maximum());
    QTest::keyClick(window->redMessage, Qt::Key_PageUp);
    EXPECT_LT(bar->value(), bar->maximum());
    QTest::keyClick(window->redMessage, Qt::Key_Home);
    EXPECT_EQ(bar->value(), 0);
}

TEST_F(ShowMessageTest, VeryLongLinesStayOneLineForSaving) {
    // A 3-byte character straddles the row boundary; it must not be split.
    std::string line(TTextViewer::MaxRowBytes - 1, 'a');
    line += "\xe2\x82\xac";  // euro sign
    line += std::string(3 * TTextViewer::MaxRowBytes, 'b');
    window->SetText(line + "\r\nnext");
    EXPECT_EQ(window->redMessage->LineCount(), 2);
    EXPECT_GT(window->redMessage->RowCount(), 4);
    EXPECT_EQ(window->redMessage->Content(), line + "\r\nnext\r\n");
    EXPECT_EQ(window->redMessage->RowText(1).front(), QChar(0x20AC));
    window->redMessage->SelectAll();
    EXPECT_EQ(window->redMessage->SelectedBytes(), line + "\r\nnext");
}

TEST_F(ShowMessageTest, FiftyMegabyteRecordOpensQuickly) {
    // Shaped like the received-messages record: header, separator, body.
    TStringList received;
    size_t size = 0;
    for (int n = 0; size < (50u << 20); ++n) {
        received.push_back("From pc" + std::to_string(n % 50) + " (10.0.0." +
                           std::to_string(n % 250) + ") at 10:00:00, 01/02/2024");
        received.push_back(SeparatorLine);
        received.push_back("Message number " + std::to_string(n) +
                           ", caf\xe9 and some words.\r\n\r\n\r\n");
        for (size_t i = received.size() - 3; i < received.size(); ++i)
            size += received[i].size() + 2;
    }
    const std::string record = TextOf(received);
    const std::string file = Path("big.txt");
    WriteFile(file, record);

    struct Case {
        const char* name;
        std::function<void(TfShowMessage*)> fill;
    } cases[] = {
        {"saved messages file",
         [&](TfShowMessage* w) { w->LoadTextFile(QString::fromStdString(file)); }},
        {"received messages list", [&](TfShowMessage* w) { w->AddLines(received); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = ThreadCpuSeconds();
        auto* viewer = new TfShowMessage(dialogs);
        viewer->SetTitle("Saved messages");
        c.fill(viewer);
        viewer->ShowViewer();
        QCoreApplication::processEvents();
        QTest::keyClick(viewer->redMessage, Qt::Key_End);
        QCoreApplication::processEvents();
        const double cpu = ThreadCpuSeconds() - cpuStart;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        std::printf("50 MB %s: opened, shown and scrolled to its end in %lld ms (%.0f ms CPU)\n",
                    c.name, static_cast<long long>(ms), cpu * 1000);
        EXPECT_EQ(viewer->redMessage->LineCount(),
                  qsizetype(std::count(record.begin(), record.end(), '\n')));
        EXPECT_TRUE(viewer->redMessage->Content() == record);
        // The work of this thread, which other load on the machine does not
        // stretch; 0.3 to 0.5 s in an optimised build, generous for
        // instrumented ones.
        EXPECT_LT(cpu, 5.0);
        delete viewer;
    }
}

}  // namespace
