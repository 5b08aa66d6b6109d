#pragma once

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "messaging/MessagingHost.h"
#include "store/TimeStamp.h"
#include "tests/support/Recorders.h"

namespace testsupport {

// "\b" in requests and replies is the 0x08 mark of a header.

// The separator line of a log entry, as its bytes.
const std::string Separator(65, '\xAF');
// The time the tests fix the clock at, as entries stamp it.
const std::time_t When = 1700000000;
inline std::string Stamp() {
    return TimeStamp(When);
}

// The items List got since it held From.
inline TStringList Tail(const TStringList& List, std::size_t From) {
    return TStringList(List.begin() + static_cast<std::ptrdiff_t>(From), List.end());
}

// The program around the messaging core, as recorders: options the test
// sets, and everything the core records, shows and tells the tray.
class RecordingMessagingHost : public IMessagingHost {
public:
    struct Alert {
        std::string title, text;
        bool onTop, autoResponseSent;
    };

    TArrivalOptions ArrivalOptions() override { return options; }
    ISoundPlayer& Sound() override { return sound; }
    IMessageBoxService& MessageBoxes() override { return boxes; }
    void ShowAlert(const std::string& Title, const std::string& Text, bool OnTop,
                   bool AutoResponseSent) override {
        if (failAlerts) throw std::runtime_error("no window");
        alerts.push_back({Title, Text, OnTop, AutoResponseSent});
    }
    std::string ResponseMessage() override { return response; }
    void RecordReceived(const TStringList& Entry) override {
        received.insert(received.end(), Entry.begin(), Entry.end());
    }
    void CountUnread() override { ++unread; }
    void SetRecentHosts(const TStringList& Hosts) override { recentHosts = Hosts; }
    void SaveSettings() override { ++saves; }
    void AddSessionLog(const TStringList& Entry) override {
        sessionLog.insert(sessionLog.end(), Entry.begin(), Entry.end());
    }
    void TrayConnecting(const std::string& Host) override { tray.push_back("connecting " + Host); }
    void TraySent(const std::string& PeerName, const std::string& PeerAddress) override {
        tray.push_back("sent " + PeerName + " (" + PeerAddress + ")");
    }
    void TrayRecipientAlertsOff(const std::string& PeerName,
                                const std::string& PeerAddress) override {
        tray.push_back("alerts off " + PeerName + " (" + PeerAddress + ")");
    }
    void TraySendFailed() override { tray.push_back("failed"); }

    TArrivalOptions options;
    std::string response;
    bool failAlerts = false;
    RecordingSound sound;
    RecordingMessageBox boxes;
    std::vector<Alert> alerts;
    TStringList received, sessionLog, recentHosts;
    int unread = 0, saves = 0;
    std::vector<std::string> tray;
};

}  // namespace testsupport
