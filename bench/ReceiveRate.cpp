// Measures how many messages a running Wexlo answers per second on loopback:
// each worker connects, writes one request, reads the status reply until the
// program closes, and starts over.
//
//   receive-rate [--port N] [--clients N] [--seconds N] [--count N] [--size BYTES]
//
// --count stops after that many messages in all instead of after --seconds;
// --size sends texts of that many bytes. The last line repeats the figures as
// key=value pairs for scripts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "messaging/WireFormat.h"

namespace {
using Clock = std::chrono::steady_clock;

struct Worker {
    std::vector<double> latenciesUs;
    long failures = 0;
};

bool OneMessage(const sockaddr_in& to, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
              ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(request.size());
    std::string reply;
    char buffer[256];
    for (ssize_t n; ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) != 0;) {
        if (n < 0)
            ok = false;
        else
            reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok && reply.size() >= 4 && reply[0] == '\x08';
}
}  // namespace

int main(int argc, char** argv) {
    int port = 13769, clients = 8, seconds = 5;
    long count = 0, size = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--port")
            port = value;
        else if (option == "--clients")
            clients = value;
        else if (option == "--seconds")
            seconds = value;
        else if (option == "--count")
            count = std::atol(argv[i + 1]);
        else if (option == "--size")
            size = std::atol(argv[i + 1]);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string text = "Benchmark message\r\nsecond line";
    if (size > 0) {
        text.resize(static_cast<std::size_t>(size), 'x');
        text.replace(text.size() - 2, 2, "\r\n");
    }
    const std::string request = BuildRequest(text);

    std::atomic<bool> stop{false};
    std::atomic<long> left{count};
    std::vector<Worker> workers(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (Worker& w : workers) {
        threads.emplace_back([&, &w = w] {
            while (!stop && (count == 0 || left.fetch_sub(1) > 0)) {
                const auto t0 = Clock::now();
                if (OneMessage(to, request))
                    w.latenciesUs.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                else
                    ++w.failures;
            }
        });
    }
    if (count == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        stop = true;
    }
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> all;
    long failures = 0;
    for (const Worker& w : workers) {
        all.insert(all.end(), w.latenciesUs.begin(), w.latenciesUs.end());
        failures += w.failures;
    }
    if (all.empty()) {
        std::fprintf(stderr, "no message was answered (is Wexlo listening on %d?)\n", port);
        return 1;
    }
    std::sort(all.begin(), all.end());
    std::printf("%d clients, %.1f s: %zu messages answered, %.0f per second, %ld failed\n", clients,
                elapsed, all.size(), all.size() / elapsed, failures);
    std::printf("latency: median %.0f us, 99th percentile %.0f us\n", all[all.size() / 2],
                all[all.size() * 99 / 100]);
    std::printf("result messages=%zu seconds=%.4f rate=%.1f p50_us=%.1f p99_us=%.1f failed=%ld\n",
                all.size(), elapsed, all.size() / elapsed, all[all.size() / 2],
                all[all.size() * 99 / 100], failures);
    return 0;
}
