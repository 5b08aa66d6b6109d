#pragma once

// Two hosts made of network namespaces joined by a veth pair. tbf paces the
// sender's side, so a long request arrives in bursts as over a real link,
// not all at once as on loopback. Names carry our pid; everything goes with
// the object. Needs root: Ready is false (and Error says why) otherwise.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

class TwoHosts {
public:
    // Rate: tbf's rate on the sender's side, e.g. "20mbit".
    explicit TwoHosts(const std::string& Rate = "20mbit") {
        if (::geteuid() != 0) {
            Error = "needs root to make network namespaces";
            return;
        }
        const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(FSerial++);
        Sender = "wexlo-" + tag + "-send";
        Receiver = "wexlo-" + tag + "-recv";
        const std::string s = "wx" + tag + "s", r = "wx" + tag + "r";
        const std::string commands[] = {
            "ip netns add " + Sender,
            "ip netns add " + Receiver,
            "ip link add " + s + " netns " + Sender + " type veth peer name " + r + " netns " +
                Receiver,
            "ip -n " + Sender + " addr add " + SenderAddress + "/24 dev " + s,
            "ip -n " + Receiver + " addr add " + ReceiverAddress + "/24 dev " + r,
            "ip -n " + Sender + " link set " + s + " up",
            "ip -n " + Receiver + " link set " + r + " up",
            "ip -n " + Sender + " link set lo up",
            "ip -n " + Receiver + " link set lo up",
            "tc -n " + Sender + " qdisc add dev " + s + " root tbf rate " + Rate +
                " burst 16kb latency 500ms",
        };
        for (const std::string& command : commands)
            if (!Run(command)) return;
        Ready = true;
    }
    ~TwoHosts() {
        if (Sender.empty()) return;
        Run("ip netns del " + Sender);
        Run("ip netns del " + Receiver);
    }
    TwoHosts(const TwoHosts&) = delete;
    TwoHosts& operator=(const TwoHosts&) = delete;

    // While one lives, sockets this thread makes belong to the host Name.
    class Inside {
    public:
        explicit Inside(const std::string& Name) {
            FHome = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            const int ns = ::open(("/var/run/netns/" + Name).c_str(), O_RDONLY | O_CLOEXEC);
            Entered = FHome >= 0 && ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
            if (ns >= 0) ::close(ns);
        }
        ~Inside() {
            if (Entered) ::setns(FHome, CLONE_NEWNET);
            if (FHome >= 0) ::close(FHome);
        }
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
        bool Entered = false;

    private:
        int FHome = -1;
    };

    // The command that runs the program after it on the sender's host.
    std::vector<std::string> OnSender() const { return {"ip", "netns", "exec", Sender}; }

    static constexpr const char* SenderAddress = "10.201.0.1";
    static constexpr const char* ReceiverAddress = "10.201.0.2";
    std::string Sender, Receiver;
    bool Ready = false;
    std::string Error;

private:
    static inline int FSerial = 0;
    bool Run(const std::string& command) {
        FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
        if (!pipe) return false;
        std::string output;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        if (::pclose(pipe) == 0) return true;
        if (Error.empty()) Error = command + ": " + output;
        return false;
    }
};

}  // namespace testsupport
