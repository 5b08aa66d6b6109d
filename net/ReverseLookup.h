#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class QObject;

// Host names of peer addresses, found off the UI thread and kept per address
// for a while. A reverse lookup against a resolver that never answers blocks
// for about ten seconds; here the caller waits a bounded time instead and
// gets empty text, and the answer (a name, or none) is kept for later calls;
// or the caller is told when the name comes, without waiting at all.
namespace ReverseLookup {

constexpr std::chrono::milliseconds DefaultWait{1000};
constexpr std::chrono::milliseconds DefaultLifetime{60000};

// Starts a lookup of Address (IPv4, network byte order) on a worker unless one
// is running or a fresh answer is kept.
void Prefetch(uint32_t Address);

// The name of Address, "" when it has none. Waits for a running lookup at most
// MaxWait, counted once per lookup: later callers of a lookup that already
// made someone wait its full time are answered at once. For callers that may
// block; the UI thread uses Known and WhenNamed.
std::string Name(uint32_t Address, std::chrono::milliseconds MaxWait = DefaultWait);

// Without waiting: true with Name set when the answer for Address is kept, or
// when its lookup has run past its bound (Name empty then); false while the
// lookup runs within its bound (it is started if need be).
bool Known(uint32_t Address, std::string& Name);

// Calls Done with the name of Address ("" when it has none, or when the name
// has not come within Bound, counted once per lookup as for Name) as an event
// of Context's thread, never from inside this call. Nothing is called once
// Context is destroyed. Lookups of different addresses run side by side.
void WhenNamed(uint32_t Address, QObject* Context, std::function<void(const std::string&)> Done,
               std::chrono::milliseconds Bound = DefaultWait);

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
