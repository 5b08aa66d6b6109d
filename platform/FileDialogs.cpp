#include "platform/FileDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>

#include "platform/WindowStacking.h"

namespace {
// A name with nothing from a "." in its last part gets the suffix.
QString WithDefaultSuffix(const QString& FileName, const QString& Suffix) {
    if (Suffix.isEmpty() || FileName.isEmpty() || QFileInfo(FileName).fileName().contains(u'.'))
        return FileName;
    return FileName + u'.' + Suffix;
}
}  // namespace

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
        return Save ? WithDefaultSuffix(name, Request.DefaultSuffix) : name;
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
        // The dialog's own question may be about the name before the suffix
        // is added (a desktop's native dialog); the question is asked below,
        // about the name that will be written.
        dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    } else {
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        dialog->setFileMode(QFileDialog::ExistingFile);
    }
    const TModalAbove above(dialog);
    for (;;) {
        const int result = dialog->exec();
        if (!dialog) return std::nullopt;
        if (result != QDialog::Accepted || dialog->selectedFiles().isEmpty()) break;
        QString chosen = dialog->selectedFiles().constFirst();
        if (!Save) {
            delete dialog;
            return chosen;
        }
        chosen = WithDefaultSuffix(chosen, Request.DefaultSuffix);
        const bool replace = !Request.ConfirmOverwrite || !QFileInfo::exists(chosen) ||
                             ConfirmReplace(dialog, chosen);
        if (!dialog) return std::nullopt;
        if (replace) {
            delete dialog;
            return chosen;
        }
        // No: back to the dialog to choose another name.
    }
    delete dialog;
    return std::nullopt;
}

bool TFileDialogs::ConfirmReplace(QWidget* Dialog, const QString& FileName) {
    QPointer<QMessageBox> box = new QMessageBox(Dialog);
    box->setTextFormat(Qt::PlainText);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(Dialog->windowTitle());
    box->setText(QFileDialog::tr("%1 already exists.\nDo you want to replace it?")
                     .arg(QFileInfo(FileName).fileName()));
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    const TModalAbove above(box);
    const int pressed = box->exec();
    if (box) delete box;
    return pressed == QMessageBox::Yes;
}
