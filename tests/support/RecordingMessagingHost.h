#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "messaging/MessagingHost.h"
#include "tests/support/Recorders.h"

namespace testsupport {

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
