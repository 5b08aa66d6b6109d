#pragma once

#include <functional>
#include <string>

#include <QObject>
#include <QTimer>

// Indices into the tray image list (IconList). Every image shows the same two
// computers; the sign on the left tells the state.
enum TTrayImage : int {
    tiIdle = 0,                // white speech balloon
    tiAlertsDisabled = 1,      // red cross
    tiUnread = 2,              // two white sheets
    tiSent = 3,                // green check mark
    tiConnecting1 = 4,         // spark next to the lower computer
    tiConnecting2 = 5,         // spark in the middle of the cable
    tiConnecting3 = 6,         // spark next to the upper computer
    tiConnecting4 = 7,         // cable only
    tiRecipientAlertsOff = 8,  // blue question mark
    tiAutoResponse = 9,        // cyan bent arrow
};
constexpr int TrayImageCount = 10;

// Where the tray state goes. The main form binds this to its NotifyIcon;
// texts are the program's bytes, decoded only by the screen.
class ITrayOutput {
public:
    virtual ~ITrayOutput() = default;
    virtual void ShowTrayImage(int Index) = 0;
    virtual void ShowTrayHint(const std::string& Hint) = 0;
};

// The state the tray rule reads, at the moment it needs it (options are never
// cached). All of it is owned by the main form and the sending code.
struct TTrayInputs {
    std::function<int()> UnreadCount;      // FUnreadCount
    std::function<bool()> AlertOnMessage;  // cbAlertOnMessage ticked
    std::function<bool()> DisableAlerts;   // mnDisableAlerts checked
    std::function<bool()> AutoResponse;    // mnAutoResponse checked
    std::function<bool()> Sending;         // FSending: a send is connecting
};

// The main form's one timer as the tray uses it: an integer Tag for the frame
// or countdown counter and a tick handler that is switched. Assigning the
// handler restarts the period, as the busy states expect.
class TTagTimer : public QObject {
public:
    static constexpr int DefaultInterval = 500;

    explicit TTagTimer(QObject* Parent = nullptr);

    int Tag = 0;

    void SetOnTimer(std::function<void()> Handler);
    void SetEnabled(bool Value);
    bool Enabled() const { return FTimer.isActive(); }
    int Interval() const { return FTimer.interval(); }

    // Runs the current handler, exactly as a timeout does.
    void Tick();

private:
    QTimer FTimer;
    std::function<void()> FOnTimer;
};

// The idle-state rule and the busy states of the tray icon: connecting
// animation, sent / recipient-alerts-off hold, and the way back to idle.
// Runs on the UI thread; an idle tray has its timer stopped.
class TTrayStatus : public QObject {
public:
    // The result images stay for HoldTag + 1 ticks (four seconds).
    static constexpr int HoldTag = 7;

    TTrayStatus(TTrayInputs Inputs, ITrayOutput& Output, QObject* Parent = nullptr);

    // Recomputes the idle state into FStatusIcon / FStatusHint and shows both
    // at once, also over a busy state (the next tick may replace the image).
    void UpdateTrayStatus();

    // Busy states, entered by the sending code. The caller owns FSending:
    // it sets it before StartConnecting and clears it before MessageSent and
    // SendFailed.
    void StartConnecting(const std::string& Host);
    void MessageSent(const std::string& PeerName, const std::string& PeerAddress);
    void RecipientAlertsOff(const std::string& PeerName, const std::string& PeerAddress);
    void SendFailed();

    // The two tick handlers of Timer.
    void AnimateSending();
    void RestoreIdleIcon();

    int StatusIcon() const { return FStatusIcon; }
    const std::string& StatusHint() const { return FStatusHint; }
    int AnimIcon() const { return FAnimIcon; }  // -1 until the first busy image
    TTagTimer& Timer() { return FTimer; }
    const TTagTimer& Timer() const { return FTimer; }

private:
    void ShowIdle();
    void Hold(int Image, const std::string& Hint);

    TTrayInputs FInputs;
    ITrayOutput& FOutput;
    int FStatusIcon = tiIdle;
    std::string FStatusHint = "Wexlo";
    int FAnimIcon = -1;
    TTagTimer FTimer;
};
