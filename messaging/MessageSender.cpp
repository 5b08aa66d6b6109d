#include "messaging/MessageSender.h"

#include <cerrno>

#include "messaging/WireFormat.h"
#include "net/AsyncClientSocket.h"
#include "platform/Exceptions.h"
#include "platform/MessageBox.h"
#include "platform/Sound.h"
#include "store/TimeStamp.h"

TMessageSender::TMessageSender(TAsyncClientSocket& ClientSocket, IMessagingHost& Host)
    : ClientSocket(ClientSocket), FHost(Host) {}

bool TMessageSender::SendMessageTo(const TStringList& Hosts, const std::string& Text) {
    if (FSending) {
        FHost.MessageBoxes().Show(nullptr,
                                  "Sending a message a now. Please wait a moment and retry.",
                                  Caption::AppTitle, TMsgIcon::Warning, TMsgButtons::Ok);
        return false;
    }
    const std::string host = Hosts.empty() ? std::string() : Hosts.front();

    // The previous message may still wait for its reply on this client; that
    // reply is dropped, so the client is free for the new target.
    if (ClientSocket.Active()) ClientSocket.Close();

    ClientSocket.SetHost(host);
    FHost.SetRecentHosts(Hosts);
    FHost.SaveSettings();
    FLastMessage = Text;
    FLastHost = host;
    FSending = true;
    FHost.TrayConnecting(ClientSocket.Host());
    try {
        ClientSocket.Open();
    } catch (...) {
        // A send that cannot even start fails as a failure of this client, so
        // the exception handler ends the send rather than leave it connecting.
        HandleException(&ClientSocket);
    }
    return true;
}

void TMessageSender::ClientSocketConnect(QObject*, TSocketConnection* Socket) {
    if (!FSending) return;
    FWriting = true;
    Socket->SendAll(BuildRequest(FLastMessage));
    // A write that failed was reported by the error handler, which ended the
    // send; it must not be logged and shown as sent as well.
    if (!FWriting) return;
    // What the socket could not take yet goes as it becomes writable; the
    // send is done when the last byte has gone (ClientSocketDrained).
    if (Socket->PendingOutput() == 0) RequestWritten(Socket);
}

void TMessageSender::ClientSocketDrained(QObject*, TSocketConnection* Socket) {
    if (FWriting) RequestWritten(Socket);
}

void TMessageSender::RequestWritten(TSocketConnection* Socket) {
    FWriting = false;
    const std::string peerName = Socket->PeerName();
    const std::string peerAddress = Socket->PeerAddress();
    FHost.AddSessionLog(SentEntry(peerName, peerAddress, TimeStamp(), FLastMessage));
    FSending = false;
    FHost.TraySent(peerName, peerAddress);
}

void TMessageSender::ClientSocketDisconnect(QObject* Sender, TSocketConnection* Socket) {
    // The connection ended (the peer closed it, or the program did) with part
    // of the request unsent: the message did not get through.
    if (!FWriting) return;
    int code = EPIPE;
    ClientSocketError(Sender, Socket, ekSend, code);
}

void TMessageSender::ClientSocketRead(QObject*, TSocketConnection* Socket) {
    if (FWriting) {
        // An answer before the whole request was taken: the receiver handled
        // a cut message. The close reports the send as failed.
        Socket->Close();
        return;
    }
    try {
        const TStatusReply reply = ReadStatusReply(Socket->ReceiveAvailable());
        if (reply.AlertsOff || reply.AutoResponse) {
            const std::string peerName = Socket->PeerName();
            const std::string peerAddress = Socket->PeerAddress();
            if (reply.AlertsOff) {
                FHost.TrayRecipientAlertsOff(peerName, peerAddress);
                FHost.AddSessionLog({AlertsDisabledLine(peerName, peerAddress, TimeStamp())});
            }
            if (reply.AutoResponse) {
                const TArrivalOptions options = FHost.ArrivalOptions();
                PlayArrivalSound(options, FHost.Sound());
                FHost.AddSessionLog(
                    AutoResponseEntry(peerName, peerAddress, TimeStamp(), reply.ResponseText));
                try {
                    FHost.ShowAlert("Auto-response from " + peerName + " (" + peerAddress + ")",
                                    reply.ResponseText, options.AlertsOnTop, false);
                } catch (...) {
                    // The half-made window is gone; the reply is logged.
                }
            }
        }
    } catch (...) {
        Socket->Close();
        throw;
    }
    Socket->Close();
}

void TMessageSender::ClientSocketError(QObject*, TSocketConnection* Socket,
                                       TSocketErrorKind ErrorEvent, int& ErrorCode) {
    FSending = false;
    FWriting = false;
    FHost.TraySendFailed();

    const std::string text = SocketFailureText(ErrorEvent, ErrorCode, Socket, ClientSocket.Host());
    if (!text.empty())
        FHost.MessageBoxes().Show(nullptr, text, Caption::Error, TMsgIcon::Error, TMsgButtons::Ok);
    if (ErrorEvent == ekConnect)
        FHost.AddSessionLog({ConnectErrorLine(ClientSocket.Host(), ErrorCode, TimeStamp())});
    ErrorCode = 0;
    ClientSocket.Connection()->Close();
}

bool TMessageSender::HandleFailure(QObject* Sender, const Exception& E, bool Retry) {
    if (Sender != &ClientSocket || !FSending || !(Retry || dynamic_cast<const ESocketError*>(&E)))
        return false;
    int code = -1;
    if (Retry) {
        FRetryArmed = false;
        try {
            ClientSocket.Open();
        } catch (const Exception&) {
            // The retry could not even start: the send ends as a failed
            // connect, or it would stay "connecting" for good.
            ClientSocketError(&ClientSocket, ClientSocket.Connection(), ekConnect, code);
        }
        return true;
    }
    FRetryArmed = E.HelpContext() != -1;
    struct TDisarm {
        bool& Armed;
        ~TDisarm() { Armed = false; }
    } disarm{FRetryArmed};
    ClientSocketError(&ClientSocket, ClientSocket.Connection(), ekConnect, code);
    return true;
}
