#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QTimer>

class IServiceDiscovery;
class TFoundPeers;

// wexlo-send --list: looks for the copies announced on the network for a
// while, then prints one line for each: NAME ADDRESS PORT TALKPORT VERSION,
// separated by tabs, sorted by name.
class TPeerListing {
public:
    using TWriter = std::function<void(const std::string&)>;
    TPeerListing(IServiceDiscovery& Discovery, int TimeMs, TWriter Out, TWriter Err);
    ~TPeerListing();

    // The result comes through OnFinished: 0 when any copy was found, the
    // host-not-found status otherwise.
    void Start();
    std::function<void(int ExitCode)> OnFinished;
    // Asked at the end: why nothing could be looked for (empty when it could).
    std::function<std::string()> Unavailable;

private:
    void TimeUp();
    void Print();

    IServiceDiscovery& FDiscovery;
    int FTimeMs;
    TWriter FOut, FErr;
    std::unique_ptr<TFoundPeers> FPeers;
    QTimer FTimer;
    bool FTimeUp = false;
    bool FDone = false;
};
