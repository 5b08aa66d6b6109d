#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "platform/FileDialogs.h"
#include "platform/QtMessageBox.h"

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

}  // namespace
