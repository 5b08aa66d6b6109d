#pragma once

#include <deque>
#include <initializer_list>
#include <optional>
#include <vector>

#include <QString>

class QWidget;

// What an open or save dialog is asked for.
struct TFileDialogRequest {
    QString Title;                 // empty: the toolkit's default title
    QString Filter;                // Qt filter list, e.g. "Text file (*.txt);;All files (*)"
    QString DefaultSuffix;         // added to a name typed without one; empty: none
    QString InitialDir;            // empty: the current directory
    bool ConfirmOverwrite = true;  // save only: ask before replacing an existing file
};

// The standard open and save file dialogs. Both run modally through exec(), so
// the event loop keeps running while they are open, and above the program's
// keep-above windows. Tests queue answers with SetNextAnswers; a queued answer
// is returned at once and nothing is shown.
//
// A save dialog returns the name that is to be written: with DefaultSuffix
// added when the name has no extension (also to a queued answer), and, with
// ConfirmOverwrite, only after the user agreed to replace a file of that very
// name.
class TFileDialogs {
public:
    // The chosen file, or nothing when the user cancelled.
    std::optional<QString> OpenFileName(QWidget* Owner, const TFileDialogRequest& Request);
    std::optional<QString> SaveFileName(QWidget* Owner, const TFileDialogRequest& Request);

    // The next dialogs answer these, in order (std::nullopt is Cancel).
    void SetNextAnswers(std::initializer_list<std::optional<QString>> Answers);
    // Every request made so far, answered or shown.
    const std::vector<TFileDialogRequest>& Requests() const { return FRequests; }

private:
    std::optional<QString> Ask(QWidget* Owner, const TFileDialogRequest& Request, bool Save);
    static std::optional<QString> Run(QWidget* Owner, const TFileDialogRequest& Request, bool Save);
    static bool ConfirmReplace(QWidget* Dialog, const QString& FileName);

    std::deque<std::optional<QString>> FAnswers;
    std::vector<TFileDialogRequest> FRequests;
};
