#include "messaging/MessageSender.h"

#include <cerrno>
#include <chrono>

#include "messaging/WireFormat.h"
#include "net/AsyncClientSocket.h"
#include "platform/Exceptions.h"
#include "platform/MessageBox.h"
#include "platform/Sound.h"
#include "store/TimeStamp.h"

namespace {
// How often the sender looks whether the platform has sent the rest. There is
// no notification for an empty send queue; the request is long, or the link
// slow, when this runs more than once or twice.
constexpr int LeavingPollMs = 20;
}  // namespace

TMessageSender::TMessageSender(TAsyncClientSocket& ClientSocket, IMessagingHost& Host)
    : ClientSocket(ClientSocket), FHost(Host) {
    FLeaving.setSingleShot(true);
    FLeaving.setInterval(LeavingPollMs);
    QObject::connect(&FLeaving, &QTimer::timeout, [this] {
        TSocketConnection* socket = this->ClientSocket.Connection();
        if (FWriting && socket->Connected())
            socket->Dispatch([this, socket] { CheckLeft(socket); });
    });
}

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
    ++FSendNumber;
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
    // What the socket could not take yet goes as it becomes writable
    // (ClientSocketDrained); the send is done when the last byte has left.
    FLastUnsent = 0;
    if (Socket->PendingOutput() == 0) CheckLeft(Socket);
}

void TMessageSender::ClientSocketDrained(QObject*, TSocketConnection* Socket) {
    if (FWriting) CheckLeft(Socket);
}

void TMessageSender::CheckLeft(TSocketConnection* Socket) {
    if (!FWriting || Socket->PendingOutput() > 0) return;
    const std::size_t unsent = Socket->UnsentBytes();
    if (unsent == 0) {
        RequestWritten(Socket);
        return;
    }
    // A steady clock: a clock set back must not stretch the stall.
    using namespace std::chrono;
    const qint64 now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    if (unsent != FLastUnsent) {
        FLastUnsent = unsent;
        FUnsentSinceMs = now;
    } else if (now - FUnsentSinceMs >= TSocketConnection::SendStallMs()) {
        // A peer that stopped reading must not hold the send for ever.
        int code = ETIMEDOUT;
        ClientSocketError(&ClientSocket, Socket, ekSend, code);
        return;
    }
    FLeaving.start();
}

void TMessageSender::RequestWritten(TSocketConnection* Socket) {
    FLeaving.stop();
    FWriting = false;
    // The send ends once the entry can name the peer.
    WithPeerName(Socket,
                 [this, send = FSendNumber](const std::string& Name, const std::string& Address) {
                     if (send != FSendNumber) return;  // an error ended it meanwhile
                     FHost.AddSessionLog(SentEntry(Name, Address, TimeStamp(), FLastMessage));
                     FSending = false;
                     FHost.TraySent(Name, Address);
                 });
}

void TMessageSender::WithPeerName(TSocketConnection* Socket, TNamedWork Work) {
    const std::string address = Socket->PeerAddress();
    std::string name;
    std::vector<TNamedWork>& waiting = FNamed[address];
    if (waiting.empty() && Socket->PeerNameKnown(name)) {
        FNamed.erase(address);
        Work(name, address);
        return;
    }
    waiting.push_back(std::move(Work));
    if (waiting.size() > 1) return;
    Socket->WhenPeerNamed(&FLeaving, [this, address](const std::string& Name) {
        auto node = FNamed.extract(address);
        if (node.empty()) return;
        for (TNamedWork& work : node.mapped()) Guarded(&ClientSocket, [&] { work(Name, address); });
    });
}

void TMessageSender::ClientSocketDisconnect(QObject* Sender, TSocketConnection* Socket) {
    if (!FWriting) return;
    // A receiver of the older protocol closes without a reply once it has
    // it all; the last look may just not have seen the acknowledgement yet.
    if (Socket->UnsentBytes() == 0) {
        RequestWritten(Socket);
        return;
    }
    // The connection ended (the peer closed it, or the program did) with part
    // of the request not delivered: the message did not get through.
    int code = EPIPE;
    ClientSocketError(Sender, Socket, ekSend, code);
}

void TMessageSender::ClientSocketRead(QObject*, TSocketConnection* Socket) {
    // The answer carries the peer's acknowledgement of what it has.
    if (FWriting && Socket->UnsentBytes() == 0) RequestWritten(Socket);
    if (FWriting) {
        // An answer before the peer had the whole request: the receiver
        // handled a cut message. The close reports the send as failed.
        Socket->Close();
        return;
    }
    try {
        const TStatusReply reply = ReadStatusReply(Socket->ReceiveAvailable());
        if (reply.AlertsOff || reply.AutoResponse)
            WithPeerName(Socket, [this, reply](const std::string& peerName,
                                               const std::string& peerAddress) {
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
            });
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
    ++FSendNumber;
    FLeaving.stop();
    FHost.TraySendFailed();

    // The box names the peer once its name is known (at once, as a rule: the
    // lookup started with the connection).
    const auto box = [this, ErrorEvent, code = ErrorCode, host = ClientSocket.Host()](
                         const std::string& Name, const std::string& Address) {
        const std::string text = SocketFailureText(ErrorEvent, code, Name, Address, host);
        if (!text.empty())
            FHost.MessageBoxes().Show(nullptr, text, Caption::Error, TMsgIcon::Error,
                                      TMsgButtons::Ok);
    };
    if (ErrorEvent == ekConnect || ErrorEvent == ekGeneral)
        box({}, {});
    else
        WithPeerName(Socket, box);
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
