#include "net/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace {
const QEvent::Type LookupDoneEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

std::mutex& ResolverMutex() {
    static std::mutex m;
    return m;
}
THostLookup::TResolver& Resolver() {
    static THostLookup::TResolver resolver;
    return resolver;
}
}  // namespace

// The part a worker shares with the handle. Receiver is cleared under the
// mutex when the lookup is dropped, so a late worker posts to nobody.
struct THostLookup::TShared {
    std::mutex Mutex;
    QObject* Receiver = nullptr;
};

class THostLookup::TReceiver : public QObject {
public:
    explicit TReceiver(TDone done) : FDone(std::move(done)) {}

    struct TDoneEvent : QEvent {
        explicit TDoneEvent(const TResult& r) : QEvent(LookupDoneEvent), Result(r) {}
        TResult Result;
    };

    bool event(QEvent* e) override {
        if (e->type() != LookupDoneEvent) return QObject::event(e);
        // Done may drop the lookup, which deletes this receiver: touch nothing after.
        TDone done = FDone;
        done(static_cast<TDoneEvent*>(e)->Result);
        return true;
    }

private:
    TDone FDone;
};

THostLookup::TResult THostLookup::ResolveWithSystem(const std::string& Host) {
    if (Host.find('\0') != std::string::npos) return {EAI_NONAME, 0};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(Host.c_str(), nullptr, &hints, &list);
    if (rc != 0) return {rc == EAI_SYSTEM && errno != 0 ? errno : rc, 0};
    TResult result{EAI_NONAME, 0};
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            result = {0, reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr};
            break;
        }
    }
    freeaddrinfo(list);
    return result;
}

THostLookup::TResolver THostLookup::SetResolver(TResolver NewResolver) {
    std::lock_guard lock(ResolverMutex());
    TResolver previous = std::move(Resolver());
    Resolver() = std::move(NewResolver);
    return previous;
}

std::unique_ptr<THostLookup> THostLookup::Start(const std::string& Host, TDone Done) {
    std::unique_ptr<THostLookup> lookup(new THostLookup);
    lookup->FShared = std::make_shared<TShared>();
    lookup->FReceiver = new TReceiver(std::move(Done));
    lookup->FShared->Receiver = lookup->FReceiver;

    in_addr numeric{};
    if (inet_pton(AF_INET, Host.c_str(), &numeric) == 1 && Host.find('\0') == std::string::npos) {
        QCoreApplication::postEvent(lookup->FReceiver,
                                    new TReceiver::TDoneEvent({0, numeric.s_addr}));
        return lookup;
    }

    TResolver resolver;
    {
        std::lock_guard lock(ResolverMutex());
        resolver = Resolver();
    }
    if (!resolver) resolver = &THostLookup::ResolveWithSystem;
    // The worker owns copies of everything it uses, so it may outlive the handle.
    std::thread([shared = lookup->FShared, resolver = std::move(resolver), host = Host] {
        TResult result;
        try {
            result = resolver(host);
        } catch (...) {
            result = {EAI_FAIL, 0};
        }
        std::lock_guard lock(shared->Mutex);
        if (shared->Receiver)
            QCoreApplication::postEvent(shared->Receiver, new TReceiver::TDoneEvent(result));
    }).detach();
    return lookup;
}

void THostLookup::Cancel() {
    if (!FShared) return;
    {
        std::lock_guard lock(FShared->Mutex);
        FShared->Receiver = nullptr;
    }
    // Deleting the receiver also discards an answer already posted to it.
    delete FReceiver;
    FReceiver = nullptr;
    FShared.reset();
}

THostLookup::~THostLookup() {
    Cancel();
}
