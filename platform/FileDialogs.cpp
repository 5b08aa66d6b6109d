#include "platform/FileDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QStringList>

std::optional<QString> TFileDialogs::OpenFileName(QWidget* Owner,
                                                  const TFileDialogRequest& Request) {
    return Ask(Owner, Request, false);
}

std::optional<QString> TFileDialogs::SaveFileName(QWidget* Owner,
                                                  const TFileDialogRequest& Request) {
    return Ask(Owner, Request, true);
}

void TFileDialogs::SetNextAnswers(std::initializer_list<std::optional<QString>> Answers) {
    FAnswers.assign(Answers);
}

std::optional<QString> TFileDialogs::Ask(QWidget* Owner, const TFileDialogRequest& Request,
                                         bool Save) {
    FRequests.push_back(Request);
    if (!FAnswers.empty()) {
        const bool chosen = FAnswers.front().has_value();
        const QString name = FAnswers.front().value_or(QString());
        FAnswers.pop_front();
        if (!chosen) return std::nullopt;
        return name;
    }
    return Run(Owner, Request, Save);
}

std::optional<QString> TFileDialogs::Run(QWidget* Owner, const TFileDialogRequest& Request,
                                         bool Save) {
    // On the heap and watched: the owner may be destroyed while the dialog's
    // event loop runs, and it takes the dialog with it.
    QPointer<QFileDialog> dialog = new QFileDialog(Owner);
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    if (!Request.Title.isEmpty()) dialog->setWindowTitle(Request.Title);
    dialog->setDirectory(Request.InitialDir.isEmpty() ? QDir::currentPath() : Request.InitialDir);
    if (!Request.Filter.isEmpty())
        dialog->setNameFilters(Request.Filter.split(QStringLiteral(";;")));
    dialog->setDefaultSuffix(Request.DefaultSuffix);
    dialog->setSizeGripEnabled(true);
    if (Save) {
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
        dialog->setOption(QFileDialog::DontConfirmOverwrite, !Request.ConfirmOverwrite);
    } else {
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        dialog->setFileMode(QFileDialog::ExistingFile);
    }
    const int result = dialog->exec();
    if (!dialog) return std::nullopt;
    std::optional<QString> chosen;
    if (result == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
        chosen = dialog->selectedFiles().constFirst();
    delete dialog;
    return chosen;
}
