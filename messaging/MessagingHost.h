#pragma once

#include <cstddef>
#include <string>

#include "store/MessageLog.h"

class IMessageBoxService;
class ISoundPlayer;

// Each alert window costs the program and the display server about half a
// megabyte; a flood of messages must not open thousands. Past this many open
// alerts a message is recorded, answered and counted as unread, as with the
// alert option off.
constexpr std::size_t MaxAlertWindows = 100;

// The options a message's arrival reads, taken from the live settings at the
// moment the message is handled (never cached).
struct TArrivalOptions {
    bool BeepOnMessage = true;  // "Play sound when a message arrives"
    bool DefaultSound = false;  // the desktop's beep rather than a sound file
    std::string CustomSound;    // sound file; empty means no sound
    // "Show an alert when a message arrives", and fewer than MaxAlertWindows
    // are open.
    bool AlertOnMessage = true;
    bool AlertsOnTop = true;     // "Show alerts on top of other windows"
    bool DisableAlerts = false;  // tray: alerts and sounds disabled
    bool AutoResponse = false;   // tray: auto-response mode
};

// What sending and receiving need from the program around them: its options,
// records, windows and tray. The main form implements it.
class IMessagingHost {
public:
    virtual ~IMessagingHost() = default;

    virtual TArrivalOptions ArrivalOptions() = 0;
    virtual ISoundPlayer& Sound() = 0;
    virtual IMessageBoxService& MessageBoxes() = 0;

    // Creates an alert window, registers it as open, titles it, fills it and
    // shows it. Raises when that fails, after destroying the half-made window.
    virtual void ShowAlert(const std::string& Title, const std::string& Text, bool OnTop,
                           bool AutoResponseSent) = 0;

    // Receiving.
    virtual std::string ResponseMessage() = 0;
    virtual void RecordReceived(const TStringList& Entry) = 0;
    virtual void CountUnread() = 0;  // one more unread message; the tray follows

    // Sending.
    virtual void SetRecentHosts(const TStringList& Hosts) = 0;
    virtual void SaveSettings() = 0;  // reports its own failures
    virtual void AddSessionLog(const TStringList& Entry) = 0;
    virtual void TrayConnecting(const std::string& Host) = 0;
    virtual void TraySent(const std::string& PeerName, const std::string& PeerAddress) = 0;
    virtual void TrayRecipientAlertsOff(const std::string& PeerName,
                                        const std::string& PeerAddress) = 0;
    virtual void TraySendFailed() = 0;  // back to the idle image at once
};

// The arrival sound: only when sounds are wanted and alerts are not disabled;
// the desktop's beep, or the custom file when one is set, else nothing.
void PlayArrivalSound(const TArrivalOptions& Options, ISoundPlayer& Sound);
