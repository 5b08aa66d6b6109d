#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QTimer>

#include "net/SocketError.h"

class TAsyncClientSocket;
class TSocketConnection;

// wexlo-send: one message to one receiver from the command line, sent exactly as
// the tray program sends it, with the receiver's status reply printed as lines.

namespace SendExit {
constexpr int Sent = 0;
constexpr int Failure = 1;  // anything none of the others covers (unreadable input)
constexpr int Usage = 2;
constexpr int HostNotFound = 3;
constexpr int ConnectFailed = 4;
constexpr int Timeout = 5;
constexpr int NotWexlo = 6;  // the reply is not a status reply: another service answered
}  // namespace SendExit

constexpr int DefaultMessagePort = 13769;
constexpr int DefaultSendTimeoutMs = 30000;
constexpr int DefaultListTimeMs = 2000;

extern const char* const SendUsage;

struct TSendOptions {
    std::string Host;
    int Port = DefaultMessagePort;
    int TimeoutMs = DefaultSendTimeoutMs;
    std::string Message;  // the text as sent, bytes
};

struct TSendArguments {
    TSendOptions Options;
    bool Help = false;
    bool Version = false;
    bool ReadStdin = false;  // no MESSAGE words were given
    std::string Error;       // usage error; empty when the arguments are fine
    // Every --to HOST, in order; with any, all words are the message and
    // Options.Host is the first of them.
    std::vector<std::string> Hosts;
    bool List = false;          // --list: print the copies found on the network
    bool TimeoutGiven = false;  // -t was given (with --list, the time to look)
};

// Arguments without the program name. Options come before HOST; a word after
// HOST that looks like an option is a usage error, unless "--" came first.
TSendArguments ParseSendArguments(const std::vector<std::string>& Args);

// LF line ends become CR LF; an existing CR LF is kept, a lone CR is left alone.
std::string LfToCrLf(const std::string& Text);

// For a terminal: control characters a peer could use to rewrite the screen
// (C0, DEL, and C1 both as raw bytes 0x80-0x9F and as UTF-8) become one '?'
// each. Tab, LF and the CR of a CR LF stay; other UTF-8 and bytes from 0xA0
// up pass unchanged.
std::string TerminalSafe(const std::string& Text);

class TSendTool {
public:
    using TWriter = std::function<void(const std::string&)>;

    // Out gets the result lines, Err the error lines (both end in LF).
    TSendTool(TSendOptions Options, TWriter Out, TWriter Err);
    ~TSendTool();
    TSendTool(const TSendTool&) = delete;
    TSendTool& operator=(const TSendTool&) = delete;

    // Installs the exception handler and failed-call hook and starts the
    // lookup. The result comes through OnFinished, possibly before Start returns.
    void Start();

    bool Finished() const { return FFinished; }
    int ExitCode() const { return FExitCode; }
    std::function<void(int ExitCode)> OnFinished;

private:
    enum class TPhase { Idle, Connecting, Sending, Waiting };

    void SocketConnect(TSocketConnection* Socket);
    void SocketWrite(TSocketConnection* Socket);
    void SocketRead(TSocketConnection* Socket);
    void SocketDisconnect(TSocketConnection* Socket);
    void SocketError(TSocketConnection* Socket, TSocketErrorKind Kind, int& Code);
    void ExceptionRaised(const Exception& E);
    void TimedOut();

    void SendMore(TSocketConnection* Socket);
    bool Cut(TSocketConnection* Socket, const std::string& What);
    std::string Peer(TSocketConnection* Socket);
    std::string Target() const;
    void Fail(int ExitCode, const std::string& Line);
    void Finish(int ExitCode);

    TSendOptions FOptions;
    TWriter FOut, FErr;
    std::unique_ptr<TAsyncClientSocket> FClient;
    QTimer FTimer;
    std::string FRequest;
    std::size_t FSent = 0;
    std::string FPeer;  // "NAME (ADDRESS)", taken once while connected
    bool FPeerKnown = false;
    TPhase FPhase = TPhase::Idle;
    bool FStarted = false;
    bool FFinished = false;
    int FExitCode = SendExit::Failure;
    TExceptionEvent FPreviousHandler;
    TSocketFailureHook FPreviousHook = nullptr;
};
