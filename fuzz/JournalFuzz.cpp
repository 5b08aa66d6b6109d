// Feeds arbitrary bytes to the crash journal's reader, as they are and as a
// journal of records built from the input with damage after them or inside
// one, or with the last one cut short: reading never fails, no whole record
// before the damage is lost, and a cut record costs only itself (its items may
// hold records of the same tag).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "store/ReceivedJournal.h"

namespace {

// Entries made of the input: items end at 0x00, entries at 0x01, and the
// first 0x02 ends the entries; what follows is the damage.
struct TBuilt {
    std::vector<TStringList> Entries;
    std::string Damage;
};

TBuilt Build(const std::string& Input) {
    TBuilt built;
    TStringList entry;
    std::string item;
    std::size_t at = 0;
    for (; at < Input.size() && Input[at] != '\x02'; ++at) {
        if (Input[at] == '\0' || Input[at] == '\x01') {
            entry.push_back(item);
            item.clear();
            if (Input[at] == '\x01') built.Entries.push_back(std::exchange(entry, {}));
        } else {
            item += Input[at];
        }
    }
    if (at < Input.size()) built.Damage = Input.substr(at + 1);
    return built;
}

constexpr std::uint64_t Tag = 0x0123456789ABCDEFull;

bool StartsWith(const TStringList& All, const TStringList& Prefix) {
    return All.size() >= Prefix.size() && std::equal(Prefix.begin(), Prefix.end(), All.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Any bytes at all.
    const journal::TContent raw = journal::Parse(input);
    if (raw.ValidSize > input.size()) std::abort();
    (void)journal::Parse(journal::Header(Tag) + input);

    const TBuilt built = Build(input);
    std::string file = journal::Header(Tag);
    TStringList items;
    std::vector<std::size_t> starts;
    for (const TStringList& entry : built.Entries) {
        starts.push_back(file.size());
        file += journal::Record(Tag, entry);
        items.insert(items.end(), entry.begin(), entry.end());
    }

    // Whole records read back as written.
    const journal::TContent whole = journal::Parse(file);
    if (whole.Items != items || whole.Records != built.Entries.size() ||
        whole.ValidSize != file.size() || whole.Damaged)
        std::abort();

    // Garbage after them, a torn append say, loses none of them.
    if (!StartsWith(journal::Parse(file + built.Damage).Items, items)) std::abort();

    // The last record cut anywhere: exactly the ones before it, and no damage.
    if (!built.Entries.empty()) {
        const std::size_t last = starts.back();
        const std::size_t cut = last + input.size() % (file.size() - last);
        const journal::TContent read = journal::Parse(std::string_view(file).substr(0, cut));
        const TStringList before(items.begin(), items.end() - std::ssize(built.Entries.back()));
        if (read.Items != before || read.Damaged || read.ValidSize != last) std::abort();
    }

    // A byte changed inside one record: those before it stay, and the damage
    // is noticed. (What follows may come back in part: reading resumes at the
    // next whole record it finds, and a text may hold one.)
    if (!built.Entries.empty() && !built.Damage.empty()) {
        const std::size_t victim = std::size_t(built.Damage[0] & 0x7F) % built.Entries.size();
        const std::size_t end = victim + 1 < starts.size() ? starts[victim + 1] : file.size();
        const std::size_t at =
            starts[victim] +
            std::size_t(static_cast<unsigned char>(built.Damage.back())) % (end - starts[victim]);
        std::string damaged = file;
        damaged[at] =
            static_cast<char>(damaged[at] ^ (built.Damage.size() > 1 ? built.Damage[1] | 1 : 1));
        TStringList before;
        for (std::size_t i = 0; i < victim; ++i)
            before.insert(before.end(), built.Entries[i].begin(), built.Entries[i].end());
        const journal::TContent read = journal::Parse(damaged);
        if (!StartsWith(read.Items, before)) std::abort();
        if (victim + 1 < built.Entries.size() && !read.Damaged) std::abort();
    }
    return 0;
}
