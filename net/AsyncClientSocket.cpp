#include "net/AsyncClientSocket.h"

#include <algorithm>
#include <cctype>

namespace {
bool SameText(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

const char* const ChangeWhileActive = "Can't change value while socket is active";
}  // namespace

TAsyncClientSocket::TAsyncClientSocket(QObject* parent)
    : QObject(parent), FConnection(new TSocketConnection(this)) {}

TAsyncClientSocket::~TAsyncClientSocket() {
    // The connection closes without events; a lookup still running is dropped.
    delete FConnection;
}

const std::string& TAsyncClientSocket::Host() const {
    return FHost;
}

void TAsyncClientSocket::SetHost(const std::string& Value) {
    if (SameText(Value, FHost)) return;
    if (FActive) throw ESocketError(ChangeWhileActive);
    FHost = Value;
}

int TAsyncClientSocket::Port() const {
    return FPort;
}

void TAsyncClientSocket::SetPort(int Value) {
    if (Value == FPort) return;
    if (FActive) throw ESocketError(ChangeWhileActive);
    FPort = Value;
}

bool TAsyncClientSocket::Active() const {
    return FActive;
}

void TAsyncClientSocket::SetActive(bool Value) {
    if (Value)
        Open();
    else
        Close();
}

void TAsyncClientSocket::Open() {
    if (FActive) return;
    // An attempt still resolving or connecting is dropped without a word.
    FConnection->StartAttempt();
}

void TAsyncClientSocket::Close() {
    // An attempt in progress goes on; only a made connection is closed.
    if (FConnection->Connected()) FConnection->Close();
}

TSocketConnection* TAsyncClientSocket::Connection() const {
    return FConnection;
}
