#include "tools/SendTool.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "messaging/WireFormat.h"
#include "net/AsyncClientSocket.h"
#include "net/SocketConnection.h"
#include "platform/TextCodec.h"

const char* const SendUsage =
    "Usage: wexlo-send [-p PORT] [-t SECONDS] [--] HOST [MESSAGE...]\n"
    "       wexlo-send [-p PORT] [-t SECONDS] --to HOST [--to HOST...] [--] [MESSAGE...]\n"
    "       wexlo-send --list [-t SECONDS]\n"
    "\n"
    "Sends one message to the Wexlo program on HOST (a host name or a dotted\n"
    "IPv4 address) exactly as Wexlo itself sends it, and prints what the\n"
    "receiver's status reply says.\n"
    "\n"
    "The message is the MESSAGE words joined by single blanks. Without MESSAGE\n"
    "words it is read from standard input, with LF line ends turned into CR LF.\n"
    "The text is sent as bytes, unconverted. An empty message is refused.\n"
    "Options go before HOST; an option after HOST is a usage error. To send\n"
    "words that start with '-', put -- before HOST or right after it.\n"
    "\n"
    "With --to, the message goes to every HOST named by a --to, one after the\n"
    "other, and every word is part of the message (there is no HOST word then).\n"
    "Each HOST's outcome is reported on its own line, and the exit status is the\n"
    "highest of theirs. A command line without --to means what it always did.\n"
    "\n"
    "--list prints the copies of Wexlo that announce themselves on the local\n"
    "network (through Avahi, DNS-SD) within SECONDS (default 2), one a line:\n"
    "  NAME ADDRESS PORT TALKPORT VERSION    separated by tabs\n"
    "NAME is what to give as HOST: the computer's name where it resolves here to\n"
    "that address, else the address; PORT is its message port (give it with -p\n"
    "when it is not 13769), TALKPORT and VERSION are '-' where it does not say.\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT        message port of the receiver (default 13769)\n"
    "  -t, --timeout SECONDS  give up when lookup, connection, sending and the\n"
    "                         reply together take longer (default 30; with\n"
    "                         --list, how long to look, default 2)\n"
    "  -H, --to HOST          send to HOST too (may be repeated)\n"
    "      --list             list the copies found on the network\n"
    "  -h, --help             show this text\n"
    "      --version          show the version\n"
    "\n"
    "Output on standard output, once the receiver has answered or closed:\n"
    "  Message sent to NAME (ADDRESS)\n"
    "  NAME (ADDRESS) has alerts disabled    when the receiver says so\n"
    "  Auto-response from NAME (ADDRESS):    when the receiver is away; its away\n"
    "                                        text follows, then a line end\n"
    "  No status reply                       when the receiver closed without\n"
    "                                        answering (older versions)\n"
    "NAME is the receiver's host name by reverse lookup, empty when it has none;\n"
    "ADDRESS is its IPv4 address. On a terminal, control characters in received\n"
    "text are shown as '?'. Errors go to standard error.\n"
    "\n"
    "Exit status:\n"
    "  0  message sent (with --list: at least one copy found)\n"
    "  1  any other failure (standard input unreadable, output not written)\n"
    "  2  usage error\n"
    "  3  host not found (with --list: none found, or no Avahi daemon)\n"
    "  4  connection failed or broke off before the exchange was done\n"
    "  5  not done within the timeout\n"
    "  6  the receiver answered with something that is not a Wexlo status\n"
    "     reply: another program is listening on that port\n";

namespace {

constexpr std::size_t MaxChunk = 256 * 1024;
constexpr double MaxTimeoutSeconds = 2147483.0;  // what a timer's int milliseconds hold

// Raised by the failed-call hook, so a failed connect or lookup start keeps
// its platform code instead of a preformatted text.
class ECallFailed : public ESocketError {
public:
    explicit ECallFailed(int code) : ESocketError(SocketErrorText(code), -1), FCode(code) {}
    int Code() const { return FCode; }

private:
    int FCode;
};

[[noreturn]] void RaiseCallFailure(int ErrorCode) {
    throw ECallFailed(ErrorCode);
}

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

bool ParseSeconds(const std::string& text, int& ms) {
    if (text.empty()) return false;
    for (char c : text)
        if ((c < '0' || c > '9') && c != '.') return false;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(seconds > 0) || seconds > MaxTimeoutSeconds) return false;
    ms = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
    return true;
}

// 0x08, two flags of "0" or "1", 0x08, then the away text: the only reply a
// Wexlo receiver writes.
bool IsStatusReply(const std::string& Reply) {
    const auto flag = [](char c) { return c == '0' || c == '1'; };
    return Reply.size() >= 4 && Reply[0] == '\b' && flag(Reply[1]) && flag(Reply[2]) &&
           Reply[3] == '\b';
}

std::string SecondsText(int ms) {
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0') fraction.pop_back();
        text += "." + fraction;
    }
    return text + (ms == 1000 ? " second" : " seconds");
}

}  // namespace

TSendArguments ParseSendArguments(const std::vector<std::string>& Args) {
    TSendArguments result;
    const auto fail = [&result](const std::string& Error) {
        result.Error = Error;
        return result;
    };
    std::vector<std::string> words;  // HOST and the message
    bool optionsEnded = false;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        // Words after HOST that look like options are a mistake far more often
        // than text; text like that goes after "--".
        if (!words.empty())
            return fail(
                "option '" + a +
                "' after HOST; options go before HOST (use -- to send words starting with '-')");
        if (a == "-h" || a == "--help") {
            result.Help = true;
            return result;
        }
        if (a == "--version") {
            result.Version = true;
            return result;
        }
        if (a == "--list") {
            result.List = true;
            continue;
        }
        // "--to HOST", "--to=HOST", "-H HOST", "-HHOST": one more recipient.
        if (a == "--to" || a == "-H" || a.rfind("--to=", 0) == 0 ||
            (a.rfind("-H", 0) == 0 && a[1] == 'H')) {
            std::string host;
            if (a == "--to" || a == "-H") {
                if (i + 1 >= Args.size()) return fail(a + " needs a HOST");
                host = Args[++i];
            } else {
                host = a.substr(a[1] == '-' ? 5 : 2);
            }
            if (host.empty()) return fail(a.substr(0, a[1] == '-' ? 4 : 2) + " needs a HOST");
            result.Hosts.push_back(host);
            continue;
        }
        // "-p N", "-pN", "--port N" and "--port=N"; the same for the timeout.
        const bool port = a.rfind("-p", 0) == 0 || a.rfind("--port", 0) == 0;
        const bool timeout = a.rfind("-t", 0) == 0 || a.rfind("--timeout", 0) == 0;
        const std::string name =
            port ? (a[1] == '-' ? "--port" : "-p") : (a[1] == '-' ? "--timeout" : "-t");
        std::string value;
        if (!port && !timeout) return fail("unknown option '" + a + "'");
        if (a == name) {
            if (i + 1 >= Args.size()) return fail(name + " needs a value");
            value = Args[++i];
        } else if (name.size() == 2) {
            value = a.substr(2);
        } else if (a.rfind(name + "=", 0) == 0) {
            value = a.substr(name.size() + 1);
        } else {
            return fail("unknown option '" + a + "'");
        }
        if (port && !ParsePort(value, result.Options.Port))
            return fail(name + " needs a port number from 1 to 65535, not '" + value + "'");
        if (timeout && !ParseSeconds(value, result.Options.TimeoutMs))
            return fail(name + " needs a number of seconds above 0, not '" + value + "'");
        result.TimeoutGiven = result.TimeoutGiven || timeout;
    }

    if (result.List) {
        if (!words.empty() || !result.Hosts.empty())
            return fail("--list takes no HOST and no message");
        if (!result.TimeoutGiven) result.Options.TimeoutMs = DefaultListTimeMs;
        return result;
    }
    // With --to, every word is the message; without, the first is HOST.
    std::size_t first = 0;
    if (result.Hosts.empty()) {
        if (words.empty()) return fail("no HOST given");
        if (words.front().empty()) return fail("HOST is empty");
        result.Hosts.push_back(words.front());
        first = 1;
    }
    result.Options.Host = result.Hosts.front();
    if (words.size() == first) {
        result.ReadStdin = true;
        return result;
    }
    for (std::size_t w = first; w < words.size(); ++w) {
        if (w > first) result.Options.Message += ' ';
        result.Options.Message += words[w];
    }
    if (result.Options.Message.empty()) return fail("the message is empty");
    return result;
}

std::string LfToCrLf(const std::string& Text) {
    std::string out;
    out.reserve(Text.size() + Text.size() / 16);
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\n' && (i == 0 || Text[i - 1] != '\r')) out += '\r';
        out += Text[i];
    }
    return out;
}

namespace {
// Length of the valid UTF-8 sequence starting at Text[At]; 0 when there is none.
std::size_t Utf8SequenceAt(std::string_view Text, std::size_t At) {
    const unsigned char lead = static_cast<unsigned char>(Text[At]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || At + length > Text.size() || !IsValidUtf8(Text.substr(At, length))) return 0;
    return length;
}
}  // namespace

std::string TerminalSafe(const std::string& Text) {
    std::string out;
    out.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size();) {
        const unsigned char c = static_cast<unsigned char>(Text[i]);
        if (c < 0x80) {
            const bool crOfCrLf = c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n';
            const bool control = (c < 0x20 && c != '\t' && c != '\n' && !crOfCrLf) || c == 0x7F;
            out += control ? '?' : char(c);
            ++i;
            continue;
        }
        // C1 controls (0x9B is a one-byte CSI) are as dangerous as ESC, both
        // as raw bytes and as U+0080..U+009F in UTF-8; other characters pass.
        const std::size_t length = Utf8SequenceAt(Text, i);
        if (length == 0) {
            out += c < 0xA0 ? '?' : char(c);
            ++i;
        } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(Text[i + 1]) < 0xA0) {
            out += '?';
            i += 2;
        } else {
            out.append(Text, i, length);
            i += length;
        }
    }
    return out;
}

TSendTool::TSendTool(TSendOptions Options, TWriter Out, TWriter Err)
    : FOptions(std::move(Options)), FOut(std::move(Out)), FErr(std::move(Err)) {
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, &FTimer,
                     [this] { Guarded(&FTimer, [this] { TimedOut(); }); });
}

TSendTool::~TSendTool() {
    FTimer.stop();
    FClient.reset();  // closes without events
    if (FStarted) {
        SetExceptionHandler(std::move(FPreviousHandler));
        SetSocketFailureHook(FPreviousHook);
    }
}

void TSendTool::Start() {
    if (FStarted) return;
    FStarted = true;
    FPreviousHandler =
        SetExceptionHandler([this](QObject*, const Exception& E) { ExceptionRaised(E); });
    FPreviousHook = SetSocketFailureHook(RaiseCallFailure);

    FRequest = BuildRequest(FOptions.Message);
    FClient = std::make_unique<TAsyncClientSocket>();
    FClient->SetHost(FOptions.Host);
    FClient->SetPort(FOptions.Port);
    FClient->OnConnect = [this](QObject*, TSocketConnection* s) { SocketConnect(s); };
    FClient->OnWrite = [this](QObject*, TSocketConnection* s) { SocketWrite(s); };
    FClient->OnRead = [this](QObject*, TSocketConnection* s) { SocketRead(s); };
    FClient->OnDisconnect = [this](QObject*, TSocketConnection* s) { SocketDisconnect(s); };
    FClient->OnError = [this](QObject*, TSocketConnection* s, TSocketErrorKind kind, int& code) {
        SocketError(s, kind, code);
    };

    FPhase = TPhase::Connecting;
    FTimer.start(FOptions.TimeoutMs);
    try {
        FClient->Open();
    } catch (...) {
        HandleException(FClient.get());
    }
}

void TSendTool::SocketConnect(TSocketConnection* Socket) {
    if (FFinished) return;
    FPhase = TPhase::Sending;
    SendMore(Socket);
}

void TSendTool::SocketWrite(TSocketConnection* Socket) {
    if (!FFinished && FPhase == TPhase::Sending) SendMore(Socket);
}

// One send attempt rarely takes a large message whole; the rest goes out as
// the socket becomes writable again, so nothing is cut silently.
void TSendTool::SendMore(TSocketConnection* Socket) {
    while (FSent < FRequest.size()) {
        const std::size_t chunk = std::min(FRequest.size() - FSent, MaxChunk);
        const int taken = Socket->SendString(FRequest.substr(FSent, chunk));
        if (FFinished) return;  // a failed send has been reported through OnError
        if (taken < 0) return;  // would block: OnWrite brings us back
        if (taken == 0) {
            Fail(SendExit::ConnectFailed, "connection to " + Target() + " ended after " +
                                              std::to_string(FSent) + " of " +
                                              std::to_string(FRequest.size()) + " bytes");
            return;
        }
        FSent += static_cast<std::size_t>(taken);
    }
    FPhase = TPhase::Waiting;
    Peer(Socket);  // while surely connected; printed once the receiver has answered or closed
}

void TSendTool::SocketRead(TSocketConnection* Socket) {
    if (FFinished) return;
    if (FPhase == TPhase::Sending) {
        // A receiver reads its request once: an early reply means it has cut the message.
        Fail(SendExit::ConnectFailed, Peer(Socket) + " answered after " + std::to_string(FSent) +
                                          " of " + std::to_string(FRequest.size()) +
                                          " bytes; the message was cut");
        return;
    }
    if (FPhase != TPhase::Waiting) return;
    if (Cut(Socket, "answered")) return;
    // As in the tray program, whatever has arrived at the first read is the reply.
    const std::string reply = Socket->ReceiveAvailable();
    if (FFinished || reply.empty()) return;
    const std::string peer = Peer(Socket);
    if (!IsStatusReply(reply)) {
        Fail(SendExit::NotWexlo, peer + " answered on port " + std::to_string(FOptions.Port) +
                                     ", but not as Wexlo does: another program may be "
                                     "listening there");
        return;
    }
    const TStatusReply status = ReadStatusReply(reply);
    FOut("Message sent to " + peer + "\n");
    if (status.AlertsOff) FOut(peer + " has alerts disabled\n");
    if (status.AutoResponse)
        FOut("Auto-response from " + peer + ":\n" + status.ResponseText + "\n");
    Finish(SendExit::Sent);
}

// The platform has taken the whole request, but the peer has not had all of
// it yet: a reply or a close now means the receiver cut the message.
bool TSendTool::Cut(TSocketConnection* Socket, const std::string& What) {
    const std::size_t unsent = std::min(Socket->UnsentBytes(), FSent);
    if (unsent == 0) return false;
    Fail(SendExit::ConnectFailed,
         Peer(Socket) + " " + What + " after " + std::to_string(FSent - unsent) + " of " +
             std::to_string(FRequest.size()) + " bytes; the message was cut");
    return true;
}

void TSendTool::SocketDisconnect(TSocketConnection* Socket) {
    if (FFinished) return;
    switch (FPhase) {
        case TPhase::Sending:
            Fail(SendExit::ConnectFailed, Peer(Socket) + " closed the connection after " +
                                              std::to_string(FSent) + " of " +
                                              std::to_string(FRequest.size()) + " bytes");
            break;
        case TPhase::Waiting:
            if (Cut(Socket, "closed the connection")) break;
            FOut("Message sent to " + Peer(Socket) + "\nNo status reply\n");
            Finish(SendExit::Sent);
            break;
        default:
            break;  // a failed lookup closes first; its exception follows
    }
}

void TSendTool::SocketError(TSocketConnection*, TSocketErrorKind Kind, int& Code) {
    const int code = Code;
    Code = 0;
    if (FFinished) return;
    const std::string reason = SocketErrorText(code);
    switch (Kind) {
        case ekConnect:
            Fail(SendExit::ConnectFailed, "cannot connect to " + Target() + ": " + reason);
            break;
        case ekSend:
            Fail(SendExit::ConnectFailed,
                 "error sending to " + Target() + " after " + std::to_string(FSent) + " of " +
                     std::to_string(FRequest.size()) + " bytes: " + reason);
            break;
        case ekReceive:
            Fail(SendExit::ConnectFailed, "error receiving from " + Target() + ": " + reason);
            break;
        default:
            Fail(SendExit::ConnectFailed, "connection to " + Target() + " failed: " + reason);
            break;
    }
}

void TSendTool::ExceptionRaised(const Exception& E) {
    if (FFinished) return;
    if (const auto* failed = dynamic_cast<const ECallFailed*>(&E)) {
        Fail(SendExit::ConnectFailed,
             "cannot connect to " + Target() + ": " + SocketErrorText(failed->Code()));
    } else if (dynamic_cast<const ESocketError*>(&E) &&
               E.Message().find("ASync Lookup") != std::string::npos) {
        Fail(SendExit::HostNotFound, "host not found: " + FOptions.Host);
    } else if (dynamic_cast<const ESocketError*>(&E)) {
        Fail(SendExit::ConnectFailed, "connection to " + Target() + " failed: " + E.Message());
    } else {
        Fail(SendExit::Failure, E.Message());
    }
}

void TSendTool::TimedOut() {
    if (FFinished) return;
    const std::string limit = SecondsText(FOptions.TimeoutMs);
    // Bytes the platform took but the peer does not have yet are not sent.
    const std::size_t unsent =
        FPhase == TPhase::Waiting ? std::min(FClient->Connection()->UnsentBytes(), FSent) : 0;
    switch (unsent ? TPhase::Sending : FPhase) {
        case TPhase::Sending:
            Fail(SendExit::Timeout, "could not send the message to " + Target() + " within " +
                                        limit + " (" + std::to_string(FSent - unsent) + " of " +
                                        std::to_string(FRequest.size()) + " bytes sent)");
            break;
        case TPhase::Waiting:
            Fail(SendExit::Timeout,
                 "the message went out to " + FPeer + " but no status reply came within " + limit);
            break;
        default:
            Fail(SendExit::Timeout, "could not connect to " + Target() + " within " + limit);
            break;
    }
}

// Asked once, while still connected: the reverse lookup behind the name may
// take a while, and a second call answers from the layer's cache anyway.
std::string TSendTool::Peer(TSocketConnection* Socket) {
    if (!FPeerKnown) {
        std::string name, address;
        try {
            name = Socket->PeerName();
            address = Socket->PeerAddress();
        } catch (const Exception&) {
            // the peer has gone; print what we have
        }
        FPeer = name + " (" + address + ")";
        FPeerKnown = true;
    }
    return FPeer;
}

std::string TSendTool::Target() const {
    return FOptions.Host + " port " + std::to_string(FOptions.Port);
}

void TSendTool::Fail(int ExitCode, const std::string& Line) {
    FErr("wexlo-send: " + Line + "\n");
    Finish(ExitCode);
}

void TSendTool::Finish(int ExitCode) {
    if (FFinished) return;
    FFinished = true;
    FExitCode = ExitCode;
    FTimer.stop();
    if (FClient) {
        // Closing fires OnDisconnect, which ignores a finished send.
        try {
            FClient->Connection()->Close();
        } catch (const Exception&) {
        }
    }
    if (OnFinished) OnFinished(ExitCode);
}
