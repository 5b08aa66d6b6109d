#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// Host names of peer addresses, found off the UI thread and kept per address
// for a while. A reverse lookup against a resolver that never answers blocks
// for about ten seconds; here the caller waits a bounded time instead and
// gets empty text, and the answer (a name, or none) is kept for later calls.
namespace ReverseLookup {

constexpr std::chrono::milliseconds DefaultWait{1000};
constexpr std::chrono::milliseconds DefaultLifetime{60000};

// Starts a lookup of Address (IPv4, network byte order) on a worker unless one
// is running or a fresh answer is kept.
void Prefetch(uint32_t Address);

// The name of Address, "" when it has none. Waits for a running lookup at most
// MaxWait, counted once per lookup: later callers of a lookup that already
// made someone wait its full time are answered at once.
std::string Name(uint32_t Address, std::chrono::milliseconds MaxWait = DefaultWait);

// The blocking resolver the workers call: the name of Address, "" when none.
// getnameinfo with NI_NAMEREQD by default; an empty function restores it.
// Returns the previous one. For tests.
using TResolver = std::function<std::string(uint32_t Address)>;
TResolver SetResolver(TResolver Resolver);
std::string ResolveWithSystem(uint32_t Address);

// How long answers are kept (60 s). Returns the previous value. For tests.
std::chrono::milliseconds SetLifetime(std::chrono::milliseconds Lifetime);

// Forgets every kept answer; running lookups finish into the void. For tests.
void Forget();

}  // namespace ReverseLookup
