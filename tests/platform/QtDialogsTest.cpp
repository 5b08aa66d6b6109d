#include <gtest/gtest.h>

#include <functional>

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "platform/FileDialogs.h"
#include "platform/QtInputBox.h"
#include "platform/QtMessageBox.h"
#include "platform/TextCodec.h"
#include "platform/WindowStacking.h"
#include "tests/support/TestSupport.h"

namespace {

// Runs Fn on the modal window or message box once it is open (one other than
// Previous).
template <class Fn>
void WhenModal(Fn fn, QWidget* Previous = nullptr) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, fn, previous = QPointer<QWidget>(Previous)] {
        QWidget* modal = QApplication::activeModalWidget();
        for (QWidget* w : QApplication::topLevelWidgets())
            if ((!modal || modal == previous) && qobject_cast<QMessageBox*>(w) && w->isVisible())
                modal = w;
        if (modal && (modal != previous || !previous)) {
            poll->stop();
            poll->deleteLater();
            fn(modal);
        }
    });
    poll->start(10);
}

TEST(QtMessageBoxTest, ShowsPeerTextPlainAndKeepsTheEventLoopRunning) {
    TQtMessageBox service;
    // Messages keep arriving while a box is open: timers still fire, and the
    // box is answered after the fourth tick (or, if they never come, later).
    int ticks = 0;
    QPointer<QMessageBox> open;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (open && ++ticks == 4) open->button(QMessageBox::No)->click();
    });
    ticker.start(5);

    QString shownText, shownTitle;
    Qt::TextFormat format = Qt::AutoText;  // read from the live box below, must be plain
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        shownText = box->text();
        shownTitle = box->windowTitle();
        format = box->textFormat();
        icon = box->icon();
        open = box;
        QTimer::singleShot(20000, box, [box] { box->button(QMessageBox::No)->click(); });
    });
    const TMsgResult answer =
        service.Show(nullptr, "Unexpected socket error:\r<b>caf\xe9</b>\r\nend", "Confirmation",
                     TMsgIcon::Question, TMsgButtons::YesNo);
    EXPECT_EQ(answer, TMsgResult::No);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(shownText, QString::fromUtf8("Unexpected socket error:\n<b>café</b>\nend"));
    EXPECT_EQ(shownTitle, "Confirmation");
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_GE(ticks, 4) << "the event loop stood still while the box waited";
}

TEST(QtMessageBoxTest, AWaitingBoxBlocksNoWindowButItsOwner) {
    // The other window stands for the tray menu, an alert or the send dialog.
    TQtMessageBox service;
    for (const bool owned : {false, true}) {
        SCOPED_TRACE(owned ? "owned box" : "box without owner");
        QPushButton owner("Options"), other("Send");
        int ownerClicks = 0, otherClicks = 0;
        QObject::connect(&owner, &QPushButton::clicked, [&] { ++ownerClicks; });
        QObject::connect(&other, &QPushButton::clicked, [&] { ++otherClicks; });
        for (QPushButton* window : {&owner, &other}) {
            window->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        }
        WhenModal([&](QWidget* box) {
            // As the user clicks: through the window system, where a window a
            // modal one blocks takes no clicks.
            for (QPushButton* window : {&owner, &other})
                QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                                  window->rect().center());
            static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
        });
        EXPECT_EQ(service.Show(owned ? &owner : nullptr, "Quit anyway?", "Confirmation",
                               TMsgIcon::Warning, TMsgButtons::YesNo),
                  TMsgResult::Yes);
        EXPECT_EQ(otherClicks, 1);
        EXPECT_EQ(ownerClicks, owned ? 0 : 1);
    }
}

TEST(QtMessageBoxTest, OwnerDestroyedWhileTheBoxIsOpen) {
    TQtMessageBox service;
    auto* owner = new QWidget;
    owner->show();
    WhenModal([owner](QWidget*) { delete owner; });
    EXPECT_EQ(service.Show(owner, "text", "Wexlo - Error", TMsgIcon::Error, TMsgButtons::Ok),
              TMsgResult::Ok);
}

TEST(FileDialogsTest, PresetAnswersAreReturnedInOrderWithoutADialog) {
    TFileDialogs dialogs;
    dialogs.SetNextAnswers({QString("/tmp/a.txt"), std::nullopt});
    TFileDialogRequest request;
    request.Filter = "Text file (*.txt);;All files (*)";
    EXPECT_EQ(dialogs.SaveFileName(nullptr, request), QString("/tmp/a.txt"));
    EXPECT_EQ(dialogs.OpenFileName(nullptr, request), std::nullopt);
    ASSERT_EQ(dialogs.Requests().size(), 2u);
    EXPECT_EQ(dialogs.Requests()[0].Filter, request.Filter);
}

TEST(FileDialogsTest, RealSaveDialogAsksAboutTheNameThatWillBeWritten) {
    const QString dir = QString::fromStdString(testsupport::TempDir()) + "/save dialog";
    QDir().mkpath(dir);
    testsupport::WriteFile((dir + "/notes.txt").toStdString(), "keep me");
    TFileDialogs dialogs;
    TFileDialogRequest request;
    request.Title = "Save";
    request.Filter = "Text file (*.txt);;All files (*)";
    request.DefaultSuffix = "txt";
    request.InitialDir = dir;

    // "notes" is typed: the file that would be replaced is notes.txt, so the
    // question is about it. No goes back to the dialog, Yes takes the name.
    for (const bool replace : {false, true}) {
        SCOPED_TRACE(replace);
        QStringList filters;
        QString question;
        int dialogsShown = 0;
        std::function<void(QWidget*)> onModal = [&](QWidget* modal) {
            if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
                if (++dialogsShown == 1) {
                    filters = dialog->nameFilters();
                    // Typed into the name field: selectFile() leaves a field
                    // that has the focus alone, and when the dialog is
                    // activated first depends on the machine's load.
                    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
                    ASSERT_NE(name, nullptr);
                    name->setText("notes");
                    static_cast<QDialog*>(dialog)->accept();  // as the Save button
                    WhenModal(onModal, dialog);               // the question
                } else {
                    dialog->reject();
                }
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                question = box->text();
                box->button(replace ? QMessageBox::Yes : QMessageBox::No)->click();
                if (!replace) WhenModal(onModal, box);  // the dialog again
            }
        };
        WhenModal(onModal);
        const std::optional<QString> chosen = dialogs.SaveFileName(nullptr, request);
        EXPECT_EQ(filters, QStringList({"Text file (*.txt)", "All files (*)"}));
        EXPECT_EQ(question, "notes.txt already exists.\nDo you want to replace it?");
        if (replace) {
            EXPECT_EQ(chosen, dir + "/notes.txt");
            EXPECT_EQ(dialogsShown, 1);
        } else {
            EXPECT_EQ(chosen, std::nullopt);
            EXPECT_EQ(dialogsShown, 2);
        }
        EXPECT_EQ(testsupport::ReadFile((dir + "/notes.txt").toStdString()), "keep me");
    }

    // A queued answer gets the suffix too; a name with an extension keeps it.
    dialogs.SetNextAnswers({dir + "/plain", dir + "/report.log", dir + "/archive."});
    EXPECT_EQ(dialogs.SaveFileName(nullptr, request), dir + "/plain.txt");
    EXPECT_EQ(dialogs.SaveFileName(nullptr, request), dir + "/report.log");
    EXPECT_EQ(dialogs.SaveFileName(nullptr, request), dir + "/archive.");
}

// Counts how often a window is raised.
class RaiseCounter : public QObject {
public:
    int raised = 0;

protected:
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::ZOrderChange) ++raised;
        return false;
    }
};

TEST(QtMessageBoxTest, BoxesComeAboveTheProgramsOnTopWindows) {
    TQtMessageBox service;
    struct Case {
        const char* name;
        bool onTopBefore;  // an on-top window is open when the box opens
        bool onTopDuring;  // one opens while the box waits
        bool nestedBox;    // another box opens over it
        bool boxAbove, raised;
    } cases[] = {
        {"no on-top window", false, false, false, false, false},
        {"on-top window open", true, false, false, true, false},
        {"on-top window arrives meanwhile", false, true, false, true, true},
        {"a second box over the first", true, false, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget plain;
        plain.show();
        QWidget before, during;
        SetKeepAbove(&before, true);
        SetKeepAbove(&during, true);
        if (c.onTopBefore) before.show();
        bool above = false, nestedAbove = false;
        RaiseCounter raises;
        WhenModal([&](QWidget* box) {
            box->installEventFilter(&raises);
            if (c.onTopDuring) during.show();
            if (c.nestedBox) {
                WhenModal(
                    [&](QWidget* nested) {
                        nestedAbove = KeepsAbove(nested);
                        static_cast<QMessageBox*>(nested)->button(QMessageBox::Ok)->click();
                    },
                    box);
                service.Show(nullptr, "nested", "Wexlo - Error", TMsgIcon::Error, TMsgButtons::Ok);
            }
            // Raising follows the show through the event loop.
            QTimer::singleShot(0, box, [&, box] {
                above = KeepsAbove(box) && box->windowHandle() &&
                        (box->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
                static_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
            });
        });
        service.Show(nullptr, "Cannot create file x", "Wexlo - Error", TMsgIcon::Error,
                     TMsgButtons::Ok);
        EXPECT_EQ(above, c.boxAbove);
        EXPECT_EQ(raises.raised > 0, c.raised);
        EXPECT_EQ(nestedAbove, c.nestedBox);
    }
}

TEST(QtInputBoxTest, AnswersKeepTheBytesOfAnUntouchedValue) {
    struct Case {
        const char* name;
        std::string value;  // given
        const char* typed;  // replaces the field; null: left alone
        bool accept;
        bool result;
        std::string expected;  // Value afterwards
    };
    const Case cases[] = {
        {"left alone", "caf\xE9", nullptr, true, true, "caf\xE9"},
        {"typed", "old", "h\xC3\xB4te", true, true, "h\xC3\xB4te"},
        {"emptied", "old", "", true, true, ""},
        {"cancelled", "old", "new", false, false, "old"},
    };
    TQtInputBox service;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QString shown, title, prompt;
        Qt::TextFormat format = Qt::AutoText;  // read from the live box's label, must be plain
        WhenModal([&](QWidget* modal) {
            auto* box = qobject_cast<QInputDialog*>(modal);
            ASSERT_NE(box, nullptr);
            shown = box->textValue();
            title = box->windowTitle();
            prompt = box->labelText();
            if (auto* label = box->findChild<QLabel*>()) format = label->textFormat();
            if (c.typed) box->setTextValue(QString::fromUtf8(c.typed));
            c.accept ? box->accept() : box->reject();
        });
        std::string value = c.value;
        EXPECT_EQ(service.InputQuery(nullptr, "Connect to", "Name <b>or</b> address:", value),
                  c.result);
        EXPECT_EQ(value, c.expected);
        EXPECT_EQ(shown, DecodeForLine(c.value));
        EXPECT_EQ(title, "Connect to");
        EXPECT_EQ(prompt, "Name <b>or</b> address:");
        EXPECT_EQ(format, Qt::PlainText);
    }
}

}  // namespace
