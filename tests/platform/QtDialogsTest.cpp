#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "platform/FileDialogs.h"
#include "platform/QtInputBox.h"
#include "platform/QtMessageBox.h"
#include "platform/TextCodec.h"

namespace {

// Runs Fn on the modal box once it is open.
template <class Fn>
void WhenModal(Fn fn) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, fn] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            fn(modal);
        }
    });
    poll->start(10);
}

TEST(QtMessageBoxTest, ShowsPeerTextPlainAndKeepsTheEventLoopRunning) {
    TQtMessageBox service;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(5);

    QString shownText, shownTitle;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        shownText = box->text();
        shownTitle = box->windowTitle();
        format = box->textFormat();
        icon = box->icon();
        // Messages keep arriving while a box is open: let the ticker run.
        QTimer::singleShot(60, box, [box] { box->button(QMessageBox::No)->click(); });
    });
    const TMsgResult answer =
        service.Show(nullptr, "Unexpected socket error:\r<b>caf\xe9</b>\r\nend", "Confirmation",
                     TMsgIcon::Question, TMsgButtons::YesNo);
    EXPECT_EQ(answer, TMsgResult::No);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(shownText, QString::fromUtf8("Unexpected socket error:\n<b>café</b>\nend"));
    EXPECT_EQ(shownTitle, "Confirmation");
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_GT(ticks, 3);
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

TEST(FileDialogsTest, RealSaveDialogIsAskedAsRequested) {
    TFileDialogs dialogs;
    TFileDialogRequest request;
    request.Title = "Save";
    request.Filter = "Text file (*.txt);;All files (*)";
    request.InitialDir = QDir::tempPath();
    QStringList filters;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    bool confirms = false;
    WhenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        filters = dialog->nameFilters();
        mode = dialog->acceptMode();
        confirms = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
        dialog->reject();
    });
    EXPECT_EQ(dialogs.SaveFileName(nullptr, request), std::nullopt);
    EXPECT_EQ(filters, QStringList({"Text file (*.txt)", "All files (*)"}));
    EXPECT_EQ(mode, QFileDialog::AcceptSave);
    EXPECT_TRUE(confirms);
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
        Qt::TextFormat format = Qt::AutoText;
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
