#include "app/TrayStatus.h"

#include <utility>

#include "platform/Exceptions.h"

TTagTimer::TTagTimer(QObject* Parent) : QObject(Parent) {
    FTimer.setInterval(DefaultInterval);
    QObject::connect(&FTimer, &QTimer::timeout, this,
                     [this] { Guarded(this, [this] { Tick(); }); });
}

void TTagTimer::SetOnTimer(std::function<void()> Handler) {
    FOnTimer = std::move(Handler);
    if (FTimer.isActive()) FTimer.start();
}

void TTagTimer::SetEnabled(bool Value) {
    if (!Value)
        FTimer.stop();
    else if (!FTimer.isActive())
        FTimer.start();
}

void TTagTimer::Tick() {
    if (FOnTimer) FOnTimer();
}

TTrayStatus::TTrayStatus(TTrayInputs Inputs, ITrayOutput& Output, QObject* Parent)
    : QObject(Parent), FInputs(std::move(Inputs)), FOutput(Output), FTimer(this) {}

void TTrayStatus::UpdateTrayStatus() {
    const int unread = FInputs.UnreadCount();
    if (unread > 0) {
        FStatusIcon = tiUnread;
        FStatusHint = std::to_string(unread) + " unread message(s)";
    } else if (!FInputs.AlertOnMessage() || FInputs.DisableAlerts()) {
        FStatusIcon = tiAlertsDisabled;
        FStatusHint = "Wexlo (Alerts disabled)";
    } else if (FInputs.AutoResponse()) {
        FStatusIcon = tiAutoResponse;
        FStatusHint = "Wexlo (Auto-response mode)";
    } else {
        FStatusIcon = tiIdle;
        FStatusHint = "Wexlo";
    }
    ShowIdle();
}

void TTrayStatus::StartConnecting(const std::string& Host) {
    FTimer.Tag = 0;
    FTimer.SetOnTimer([this] { AnimateSending(); });
    FTimer.SetEnabled(true);
    // The first frame comes with the first tick; the image stays as it is.
    FOutput.ShowTrayHint("Connecting to " + Host + "...");
}

void TTrayStatus::MessageSent(const std::string& PeerName, const std::string& PeerAddress) {
    Hold(tiSent, "Message send to " + PeerName + " (" + PeerAddress + ")");
}

void TTrayStatus::RecipientAlertsOff(const std::string& PeerName, const std::string& PeerAddress) {
    Hold(tiRecipientAlertsOff, PeerName + " (" + PeerAddress + ") has alerts disabled temporally");
}

void TTrayStatus::SendFailed() {
    FTimer.SetEnabled(false);
    ShowIdle();
}

void TTrayStatus::AnimateSending() {
    if (!FInputs.Sending()) return;
    FAnimIcon = tiConnecting1 + FTimer.Tag % 4;
    FOutput.ShowTrayImage(FAnimIcon);
    ++FTimer.Tag;
}

void TTrayStatus::RestoreIdleIcon() {
    if (FTimer.Tag != 0) {
        --FTimer.Tag;
        return;
    }
    FTimer.SetEnabled(false);
    ShowIdle();
}

void TTrayStatus::ShowIdle() {
    FOutput.ShowTrayImage(FStatusIcon);
    FOutput.ShowTrayHint(FStatusHint);
}

void TTrayStatus::Hold(int Image, const std::string& Hint) {
    FTimer.SetOnTimer([this] { RestoreIdleIcon(); });
    FTimer.Tag = HoldTag;
    FTimer.SetEnabled(true);
    FAnimIcon = Image;
    FOutput.ShowTrayImage(FAnimIcon);
    FOutput.ShowTrayHint(Hint);
}
