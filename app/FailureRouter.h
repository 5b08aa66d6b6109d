#pragma once

#include <functional>
#include <vector>

#include "platform/Exceptions.h"

// Raised by the socket hook, while a failure of an attempt in progress is being
// handled, to ask for a silent reopen of that attempt instead of a report. Its
// message is the failed call's, for when nobody can use the retry.
class ERetryOpen : public Exception {
public:
    explicit ERetryOpen(int ErrorCode)
        : Exception("Winsock error " + std::to_string(ErrorCode) + ".", -1) {}
};

// Hands each failure that reaches the application's handler to the owner of
// the socket that failed: the send, the talk window (its attempt, its listener
// and the connections it accepted), the message listener. Sender, the object
// whose event or call failed, tells whose it is.
class TFailureRouter {
public:
    // Handles the failure and says true when Sender is one of its sockets.
    // Retry: E is the hook's request to reopen the attempt in progress.
    using TOwner = std::function<bool(QObject* Sender, const Exception& E, bool Retry)>;

    // Owners are asked in the order they were added.
    void Add(TOwner Owner) { FOwners.push_back(std::move(Owner)); }
    // False when no owner took it.
    bool Route(QObject* Sender, const Exception& E) const {
        const bool retry = dynamic_cast<const ERetryOpen*>(&E) != nullptr;
        for (const TOwner& owner : FOwners)
            if (owner(Sender, E, retry)) return true;
        return false;
    }

private:
    std::vector<TOwner> FOwners;
};
