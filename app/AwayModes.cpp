#include "app/AwayModes.h"

#include <QAbstractButton>
#include <QAction>

#include <utility>

TAwayModes::TAwayModes(TAwayControls Controls, std::string& ResponseMessage)
    : FControls(std::move(Controls)), FResponseMessage(ResponseMessage) {}

void TAwayModes::mnDisableAlertsClick() {
    FControls.mnDisableAlerts->setChecked(!FControls.mnDisableAlerts->isChecked());
    FControls.UpdateTrayStatus();
}

void TAwayModes::mnAutoResponseClick() {
    if (FPrompt) return;
    // The options are read after the prompt: they may change while it waits.
    if (!FControls.mnAutoResponse->isChecked()) {
        if (FControls.rbUseDefaultResponse->isChecked())
            FResponseMessage = FControls.DefaultResponse();
        else
            FResponseMessage = AskResponse(FControls.DefaultResponse());
        if (FControls.cbAutoDisableAlerts->isChecked() && !FControls.mnDisableAlerts->isChecked())
            mnDisableAlertsClick();
        FControls.mnAutoResponse->setChecked(true);
        FControls.UpdateTrayStatus();
        FControls.mnChangeResponse->setEnabled(true);
        PromptDone();
    } else {
        // Alerts go on again, whoever switched them off.
        if (FControls.cbAutoDisableAlerts->isChecked() && FControls.mnDisableAlerts->isChecked())
            mnDisableAlertsClick();
        FControls.mnAutoResponse->setChecked(false);
        FControls.UpdateTrayStatus();
        FControls.mnChangeResponse->setEnabled(false);
    }
}

void TAwayModes::mnChangeResponseClick() {
    if (FPrompt) return;
    FResponseMessage = AskResponse(FResponseMessage);
    PromptDone();
}

void TAwayModes::EndPrompt() {
    if (FPrompt) FPrompt->EndWait();
}

void TAwayModes::AfterPrompt(std::function<void()> Action) {
    if (FPrompt)
        FAfterPrompt = std::move(Action);
    else
        Action();
}

std::string TAwayModes::AskResponse(const std::string& Initial) {
    const QPointer<TfAutoResponse> prompt = FControls.NewPrompt();
    FPrompt = prompt;
    std::string answer;
    try {
        answer = prompt->AskResponse(Initial);
    } catch (...) {
        FPrompt = nullptr;
        delete prompt.data();
        throw;
    }
    FPrompt = nullptr;
    delete prompt.data();
    return answer;
}

void TAwayModes::PromptDone() {
    if (auto after = std::exchange(FAfterPrompt, {})) after();
}
