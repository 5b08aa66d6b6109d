#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QWindow>

#include "ui/SendMessage.h"
#include "platform/Exceptions.h"
#include "tests/support/Recorders.h"

using Hosts = std::vector<std::string>;

namespace {

void ProcessDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

class SendMessageTest : public ::testing::Test {
protected:
    struct Sent {
        Hosts hosts;
        std::string text;
    };

    void SetUp() override { Open(); }
    void TearDown() override {
        delete dialog.data();
        EXPECT_EQ(fSendMessage, nullptr);
    }

    // As the main form opens it: recent hosts in, the first as host text.
    void Open(const Hosts& recent = {}) {
        delete dialog.data();
        TSendDialogEvents events;
        events.SendMessageTo = [this](const Hosts& h, const std::string& t) {
            sent.push_back({h, t});
            return accept;
        };
        events.HasMessageWindows = [this] { return alertsOpen; };
        fSendMessage = new TfSendMessage(boxes, events);
        dialog = fSendMessage;
        dialog->AddHosts(recent);
        if (!recent.empty()) dialog->SetHostText(recent.front());
        dialog->show();
    }

    bool Closed() {
        ProcessDeferredDeletes();
        return dialog.isNull();
    }

    testsupport::RecordingMessageBox boxes;
    std::vector<Sent> sent;
    bool accept = true;
    bool alertsOpen = false;
    QPointer<TfSendMessage> dialog;
};

TEST_F(SendMessageTest, ChosenHostGoesToTheTopOfTheList) {
    struct Case {
        Hosts list;
        std::string typed;
        Hosts sentList;  // first entry is the target
    } cases[] = {
        {{"A", "B", "C"}, "C", {"C", "B", "A"}},
        {{"A", "B", "C"}, "a", {"A", "B", "C"}},
        {{"A", "B", "C", "D"}, "c", {"C", "B", "A", "D"}},
        {{"A", "B"}, "D", {"D", "A", "B"}},
        {{}, "A", {"A"}},
        {{"A"}, "   ", {"   ", "A"}},
        {{"pc1.lan", "10.0.0.7"}, "PC1.LAN", {"pc1.lan", "10.0.0.7"}},
        // Bytes from the settings go back unchanged whatever they decode to.
        {{"A", "caf\xe9"}, "caf\xc3\xa9", {"caf\xe9", "A"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        sent.clear();
        Open(c.list);
        EXPECT_EQ(dialog->focusWidget(), dialog->cmbHost);
        dialog->SetHostText(c.typed);
        dialog->SetMessageText("hi");
        dialog->btnSend->click();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].hosts, c.sentList);
        EXPECT_TRUE(Closed());
        EXPECT_EQ(fSendMessage, nullptr);
    }
}

TEST_F(SendMessageTest, TextIsHandedOnAsTypedWithCrLf) {
    struct Case {
        const char* name;
        std::function<void(QPlainTextEdit*)> type;
        std::string text;
    } cases[] = {
        {"two lines",
         [](QPlainTextEdit* m) {
             QTest::keyClicks(m, "ab");
             QTest::keyClick(m, Qt::Key_Return);
             QTest::keyClicks(m, "cd");
         },
         "ab\r\ncd"},
        {"break after the last line",
         [](QPlainTextEdit* m) {
             QTest::keyClicks(m, "ab");
             QTest::keyClick(m, Qt::Key_Return);
         },
         "ab\r\n"},
        {"only an empty line", [](QPlainTextEdit* m) { QTest::keyClick(m, Qt::Key_Return); },
         "\r\n"},
        {"pasted lines", [](QPlainTextEdit* m) { m->insertPlainText("x\r\ny\nz"); }, "x\r\ny\r\nz"},
        {"non-breaking space and accent",
         [](QPlainTextEdit* m) { m->insertPlainText(QString::fromUtf8("a\u00a0\u00e9")); },
         "a\xc2\xa0\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        Open({"pc1"});
        c.type(dialog->mmMessage);
        dialog->btnSend->click();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].text, c.text);
    }
}

TEST_F(SendMessageTest, MissingHostOrTextIsRefusedWithTheFocusOnTheField) {
    struct Case {
        std::string host, text, boxText, boxCaption;
        bool focusOnHost;
    } cases[] = {
        {"", "hello", "Please write a computer name or address", "Computer not specified", true},
        {"", "", "Please write a computer name or address", "Computer not specified", true},
        {"pc1", "", "Please write a message", "Message not specified", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.boxText);
        boxes.boxes.clear();
        Open();
        dialog->SetHostText(c.host);
        dialog->SetMessageText(c.text);
        (c.focusOnHost ? static_cast<QWidget*>(dialog->mmMessage) : dialog->cmbHost)->setFocus();
        dialog->btnSend->click();
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, c.boxText);
        EXPECT_EQ(boxes.boxes[0].caption, c.boxCaption);
        EXPECT_EQ(boxes.boxes[0].icon, TMsgIcon::Warning);
        EXPECT_TRUE(sent.empty());
        EXPECT_FALSE(Closed());
        QWidget* field = c.focusOnHost ? static_cast<QWidget*>(dialog->cmbHost) : dialog->mmMessage;
        EXPECT_EQ(dialog->focusWidget(), field);
    }
}

TEST_F(SendMessageTest, KeysInTheFields) {
    struct Case {
        const char* name;
        bool inMemo;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool sends, closes;
    } cases[] = {
        {"Ctrl+Enter in the host field", false, Qt::Key_Return, Qt::ControlModifier, true, true},
        {"Ctrl+Enter in the memo", true, Qt::Key_Return, Qt::ControlModifier, true, true},
        {"Ctrl+keypad Enter in the memo", true, Qt::Key_Enter,
         Qt::ControlModifier | Qt::KeypadModifier, true, true},
        {"Enter in the host field", false, Qt::Key_Return, Qt::NoModifier, true, true},
        {"Esc in the host field", false, Qt::Key_Escape, Qt::NoModifier, false, true},
        {"Esc in the memo", true, Qt::Key_Escape, Qt::NoModifier, false, true},
        {"Enter in the memo", true, Qt::Key_Return, Qt::NoModifier, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        Open({"pc1"});
        dialog->SetMessageText("hello");
        dialog->mmMessage->moveCursor(QTextCursor::End);
        QWidget* target = c.inMemo ? static_cast<QWidget*>(dialog->mmMessage) : dialog->cmbHost;
        QTest::keyClick(target, c.key, c.modifiers);
        EXPECT_EQ(sent.size(), c.sends ? 1u : 0u);
        if (c.sends) {
            EXPECT_EQ(sent[0].text, "hello");
        }
        EXPECT_EQ(Closed(), c.closes);
        if (!c.closes) {
            EXPECT_EQ(dialog->MessageText(), "hello\r\n");
        }
    }
}

TEST_F(SendMessageTest, ClearingTheListAsksFirst) {
    Open({"A", "B"});
    boxes.SetNextAnswers({TMsgResult::No});
    dialog->btnClearAddress->click();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Do you want to clear the computer names/address list?");
    EXPECT_EQ(boxes.boxes[0].caption, "Confirmation");
    EXPECT_EQ(boxes.boxes[0].icon, TMsgIcon::Question);
    EXPECT_EQ(boxes.boxes[0].buttons, TMsgButtons::YesNo);
    EXPECT_EQ(dialog->Hosts(), (Hosts{"A", "B"}));
    EXPECT_EQ(dialog->HostText(), "A");

    boxes.SetNextAnswers({TMsgResult::Yes});
    dialog->btnClearAddress->click();
    EXPECT_TRUE(dialog->Hosts().empty());
    EXPECT_EQ(dialog->HostText(), "");

    // Cancel hands nothing on, so the stored list stays as it was.
    dialog->btnCancel->click();
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(Closed());

    // Cleared, then sent to a new host: that host is the whole list.
    Open({"A", "B"});
    dialog->btnClearAddress->click();
    dialog->SetHostText("C");
    dialog->SetMessageText("x");
    dialog->btnSend->click();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].hosts, Hosts{"C"});
}

TEST_F(SendMessageTest, RefusedSendKeepsTheDialogWithItsHostAndText) {
    Open({"A", "B"});
    dialog->SetHostText("B");
    dialog->SetMessageText("first\r\nsecond");
    accept = false;
    dialog->btnSend->click();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(Closed());
    EXPECT_EQ(fSendMessage, dialog.data());
    EXPECT_EQ(dialog->HostText(), "B");
    EXPECT_EQ(dialog->MessageText(), "first\r\nsecond");

    // The retry goes to the same host, and this time the dialog closes.
    accept = true;
    dialog->btnSend->click();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].hosts, (Hosts{"B", "A"}));
    EXPECT_EQ(sent[1].text, "first\r\nsecond");
    EXPECT_TRUE(Closed());
    EXPECT_EQ(fSendMessage, nullptr);
}

TEST_F(SendMessageTest, FailedSendClosesTheDialogAndReportsTheFailure) {
    std::vector<std::string> reported;
    const TExceptionEvent previous =
        SetExceptionHandler([&](QObject*, const Exception& e) { reported.push_back(e.Message()); });
    TSendDialogEvents events;
    events.SendMessageTo = [](const Hosts&, const std::string&) -> bool {
        throw Exception("Winsock error 10093.");
    };
    delete dialog.data();
    fSendMessage = new TfSendMessage(boxes, events);
    dialog = fSendMessage;
    dialog->SetHostText("pc1");
    dialog->SetMessageText("x");
    dialog->btnSend->click();
    SetExceptionHandler(previous);
    EXPECT_EQ(reported, std::vector<std::string>{"Winsock error 10093."});
    EXPECT_TRUE(Closed());
}

TEST_F(SendMessageTest, StaysOnTopWhileAlertWindowsAreOpen) {
    alertsOpen = true;
    Open({"pc1"});
    EXPECT_TRUE(dialog->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    dialog->move(50, 60);
    const QRect place = dialog->geometry();

    alertsOpen = false;
    dialog->repaint();
    EXPECT_FALSE(dialog->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    alertsOpen = true;
    dialog->repaint();
    EXPECT_TRUE(dialog->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dialog->geometry(), place);
    EXPECT_TRUE(dialog->isVisible());

    alertsOpen = false;
    Open({"pc1"});
    EXPECT_FALSE(dialog->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
}

}  // namespace
