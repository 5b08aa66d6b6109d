#include "messaging/MessageReceiver.h"

#include "messaging/WireFormat.h"
#include "net/SocketConnection.h"
#include "platform/Sound.h"
#include "store/TimeStamp.h"

void PlayArrivalSound(const TArrivalOptions& Options, ISoundPlayer& Sound) {
    if (!Options.BeepOnMessage || Options.DisableAlerts) return;
    if (Options.DefaultSound) {
        Sound.Beep();
    } else if (!Options.CustomSound.empty()) {
        Sound.PlayFile(Options.CustomSound);
    }
}

void TMessageReceiver::ServerSocketClientRead(QObject*, TSocketConnection* Socket) {
    try {
        const std::string request = Socket->ReceiveAvailable();
        const std::string header = ParseHeader(request);
        const std::string text = StripHeader(request);
        const TArrivalOptions options = FHost.ArrivalOptions();
        // One reverse lookup serves the log line and the window title.
        const std::string peerName = Socket->PeerName();
        const std::string peerAddress = Socket->PeerAddress();

        FHost.RecordReceived(
            ReceivedEntry(peerName, peerAddress, TimeStamp(), options.AutoResponse, text));

        PlayArrivalSound(options, FHost.Sound());

        if (options.AlertOnMessage && !options.DisableAlerts) {
            try {
                FHost.ShowAlert("Message from " + peerName + " (" + peerAddress + ")", text,
                                options.AlertsOnTop, options.AutoResponse);
            } catch (...) {
                // The window is gone already; the message is recorded and answered.
            }
        } else {
            FHost.CountUnread();
        }

        if (WantsStatusReply(header))
            Socket->SendString(BuildStatusReply(options.DisableAlerts, options.AutoResponse,
                                                FHost.ResponseMessage()));
    } catch (...) {
        Socket->Close();
        throw;
    }
    Socket->Close();
}
