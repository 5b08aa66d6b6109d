#pragma once

#include <functional>
#include <string>

#include <QPointer>

#include "ui/AutoResponse.h"

class QAbstractButton;
class QAction;

// What the away modes work with, all owned by the main form. The options are
// read from their controls at the moment of use.
struct TAwayControls {
    QAction* mnDisableAlerts = nullptr;   // checked: alerts and sounds off
    QAction* mnAutoResponse = nullptr;    // checked: auto-response mode
    QAction* mnChangeResponse = nullptr;  // enabled exactly while auto-response is on
    const QAbstractButton* cbAutoDisableAlerts = nullptr;
    const QAbstractButton* rbUseDefaultResponse = nullptr;
    std::function<std::string()> DefaultResponse;  // the options' response message
    std::function<void()> UpdateTrayStatus;
    // A new prompt window, owned by the main form.
    std::function<TfAutoResponse*()> NewPrompt;
};

// The alerts-off and auto-response modes and the away text every status reply
// carries. One prompt at a time: while it waits, the two commands that would
// open another do nothing.
class TAwayModes {
public:
    // ResponseMessage is the main form's FResponseMessage: set each time
    // auto-response goes on and by Change response, never cleared.
    TAwayModes(TAwayControls Controls, std::string& ResponseMessage);

    void mnDisableAlertsClick();
    void mnAutoResponseClick();
    void mnChangeResponseClick();

    // The prompt that is waiting for its answer, if any.
    TfAutoResponse* Prompt() const { return FPrompt; }
    // The program must end now: the waiting prompt ends with its text as it
    // stands and its command finishes as usual.
    void EndPrompt();
    // Runs Action now, or, while a prompt waits, once the command that opened
    // it has finished (Exit waits for the answer).
    void AfterPrompt(std::function<void()> Action);

private:
    // Shows a prompt, waits for its answer and releases it.
    std::string AskResponse(const std::string& Initial);
    // Runs what waited for the command that showed a prompt to finish.
    void PromptDone();

    TAwayControls FControls;
    std::string& FResponseMessage;
    QPointer<TfAutoResponse> FPrompt;
    std::function<void()> FAfterPrompt;
};
