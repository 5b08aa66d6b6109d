#pragma once

#include <functional>

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a call on the UI thread. The signal
// handler only writes a byte to a socket pair; everything else happens in the
// event loop, where it is safe to touch Qt.
class TSignalRelay : public QObject {
    Q_OBJECT
public:
    explicit TSignalRelay(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
    ~TSignalRelay() override;

private:
    void Drain();

    std::function<void(int)> FOnSignal;
    QSocketNotifier* FNotifier = nullptr;
};
