#include "messaging/MessageReceiver.h"

#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/AsyncServerSocket.h"
#include "tests/support/Recorders.h"
#include "tests/support/TestSupport.h"

namespace {

// A host whose alert windows fail to open, as when a large text cannot be laid
// out; it counts what it is told.
class FailingAlerts : public IMessagingHost {
public:
    TArrivalOptions ArrivalOptions() override { return {}; }
    ISoundPlayer& Sound() override { return sound; }
    IMessageBoxService& MessageBoxes() override { return boxes; }
    void ShowAlert(const std::string&, const std::string&, bool, bool) override {
        ++alertsTried;
        throw std::bad_alloc();
    }
    std::string ResponseMessage() override { return {}; }
    void RecordReceived(const TStringList&) override { ++recorded; }
    void CountUnread() override { ++unread; }
    void SetRecentHosts(const TStringList&) override {}
    void SaveSettings() override {}
    void AddSessionLog(const TStringList&) override {}
    void TrayConnecting(const std::string&) override {}
    void TraySent(const std::string&, const std::string&) override {}
    void TrayRecipientAlertsOff(const std::string&, const std::string&) override {}
    void TraySendFailed() override {}

    testsupport::RecordingSound sound;
    testsupport::RecordingMessageBox boxes;
    int alertsTried = 0, recorded = 0, unread = 0;
};

TEST(MessageReceiver, AMessageWhoseAlertCannotOpenIsCountedAsUnread) {
    FailingAlerts host;
    TMessageReceiver receiver(host);
    TAsyncServerSocket server;
    const int port = testsupport::FreeTcpPort();
    server.SetPort(port);
    server.OnClientRead = [&](QObject* s, auto* c) { receiver.ServerSocketClientRead(s, c); };
    server.Open();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    char byte;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ::send(fd, "hi", 2, MSG_NOSIGNAL) == 2; }));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ::recv(fd, &byte, 1, 0) == 0; }));
    ::close(fd);
    EXPECT_EQ(host.recorded, 1);
    EXPECT_EQ(host.alertsTried, 1);
    EXPECT_EQ(host.unread, 1) << "recorded, yet neither shown nor counted";
}

}  // namespace
