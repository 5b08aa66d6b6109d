#include "Settings.h"

#include <sys/stat.h>

#include <cstdint>
#include <utility>

#include "store/DataPlaces.h"

namespace {

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::int32_t DwordOf(const std::string& data) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(data[i]);
    return static_cast<std::int32_t>(n);
}

// The stored text without its terminating NUL. Bytes after an inner NUL are
// kept: whatever was saved comes back whole.
std::string TextOf(const std::string& data) {
    if (!data.empty() && data.back() == '\0') return data.substr(0, data.size() - 1);
    return data;
}

// A list of texts (each ended by a NUL, the list by an empty one) as lines
// joined by CR LF, the form the program keeps multi-line texts in.
std::string MultiTextOf(const std::string& data) {
    std::string text;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\0', start);
        if (end == std::string::npos) end = data.size();
        if (end == start) break;
        if (start > 0) text += "\r\n";
        text.append(data, start, end - start);
        start = end + 1;
    }
    return text;
}

}  // namespace

const TSettingDef& SettingDef(TSettingId Id) {
    for (const TSettingDef& def : SettingsTable)
        if (def.Id == Id) return def;
    return SettingsTable.front();  // every id is in the table
}

std::string JoinRecentHosts(const std::vector<std::string>& Hosts) {
    std::string text;
    for (const std::string& host : Hosts) text.append(host).append("\r\n");
    return text;
}

std::vector<std::string> SplitRecentHosts(const std::string& Text) {
    std::vector<std::string> hosts;
    std::size_t start = 0;
    while (start < Text.size()) {
        std::size_t end = Text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = Text.size();
        hosts.push_back(Text.substr(start, end - start));
        if (end < Text.size() && Text[end] == '\r' && end + 1 < Text.size() &&
            Text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return hosts;
}

std::string UnreadableValuesText(const std::string& File, const std::vector<std::string>& Names,
                                 const std::string& BadCopy) {
    std::string text =
        "These settings in " + File + " could not be read and were replaced by their defaults:\r";
    for (const std::string& name : Names) text += "\"" + name + "\"\r";
    return text + "The file as it was is kept as " + BadCopy + ".";
}

std::string UnparsableFileText(const std::string& File, const std::string& BadCopy) {
    return "The settings file " + File + " could not be read.\rIt is kept as " + BadCopy +
           ", and the default settings are used.";
}

std::string UnreadableFileText(const std::string& Reason) {
    return "The settings could not be read (" + Reason + ").\rThe default settings are used.";
}

std::string DefaultSoundFile(const std::string& ExecutablePath) {
    const std::size_t slash = ExecutablePath.rfind('/');
    const std::string spelt =
        (slash == std::string::npos ? std::string() : ExecutablePath.substr(0, slash + 1)) +
        "Message.wav";
    std::string lower = spelt;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower != spelt && !FileExists(lower) && FileExists(spelt)) return spelt;
    // An installed copy finds the chime shipped with it.
    if (!FileExists(lower) && !FileExists(spelt)) {
        const std::string shipped = InstalledDataFile(ExecutablePath, "message.wav");
        if (!shipped.empty()) return shipped;
    }
    return lower;
}

TSettingsStore::TSettingsStore(ILiveSettings& Live, IMessageBoxService& Boxes,
                               TRegistryFile Registry, TAutostart Autostart)
    : FLive(Live),
      FBoxes(Boxes),
      FRegistry(std::move(Registry)),
      FAutostart(std::move(Autostart)) {}

void TSettingsStore::LoadSettings() {
    FLive.CloseMessageSockets();
    const bool first = std::exchange(FFirstLoad, false);
    auto report = [&](std::string text) {
        if (first) FLoadReport = std::move(text);
    };

    std::unique_ptr<TRegKey> key;
    try {
        key = FRegistry.OpenKey(SettingsKeyPath);
    } catch (const ERegistryUnparsable&) {
        report(UnparsableFileText(FRegistry.FilePath(), FRegistry.NextBadPath()));
    } catch (const ERegistryError& e) {
        report(UnreadableFileText(e.Message()));
    }
    // No settings (or none that can be read): the first run's.
    if (!key) {
        FLive.SetText(TSettingId::SoundFile, DefaultSoundFile(FLive.ExecutablePath()));
        return;
    }

    // One bad value must not cost the others: each is read on its own.
    std::vector<std::string> unreadable;
    for (const TSettingDef& def : SettingsTable)
        if (LoadValue(*key, def) == TLoadResult::Unreadable) unreadable.emplace_back(def.Name);
    if (!unreadable.empty()) {
        FKeepOldFile = true;
        report(UnreadableValuesText(FRegistry.FilePath(), unreadable, FRegistry.NextBadPath()));
    }
    FLive.SetPortEditTexts(std::to_string(FLive.MessagePort()), std::to_string(FLive.TalkPort()));
}

void TSettingsStore::ReportLoadProblems() {
    if (FLoadReport.empty()) return;
    FBoxes.Show(nullptr, std::exchange(FLoadReport, {}), Caption::AppTitle, TMsgIcon::Warning,
                TMsgButtons::Ok);
}

TSettingsStore::TLoadResult TSettingsStore::LoadValue(const TRegKey& Key, const TSettingDef& Def) {
    const std::optional<TRegValue> value = Key.QueryValue(std::string(Def.Name));
    if (Def.Type == TSettingType::String) {
        std::string text;
        if (value && !value->Data.empty()) {
            if (value->Type == REG_SZ || value->Type == REG_EXPAND_SZ) {
                text = TextOf(value->Data);
            } else if (value->Type == REG_MULTI_SZ) {
                text = MultiTextOf(value->Data);
            } else {
                if (Def.Id == TSettingId::SoundFile)
                    FLive.SetText(Def.Id, DefaultSoundFile(FLive.ExecutablePath()));
                return TLoadResult::Unreadable;
            }
        }
        if (Def.Holder == TSettingHolder::RecentHosts)
            FLive.SetRecentHosts(SplitRecentHosts(text));
        else
            FLive.SetText(Def.Id, text);
        return TLoadResult::Applied;
    }

    if (!value) return TLoadResult::Missing;
    if (value->Type != REG_DWORD || value->Data.size() != 4) return TLoadResult::Unreadable;
    const std::int32_t number = DwordOf(value->Data);
    switch (Def.Holder) {
        case TSettingHolder::MessagePort:
            FLive.SetMessagePort(number);
            break;
        case TSettingHolder::TalkPort:
            FLive.SetTalkPort(number);
            break;
        default:
            FLive.SetBool(Def.Id, number != 0);
    }
    return TLoadResult::Applied;
}

TRegValue TSettingsStore::StoredValue(const TSettingDef& Def) const {
    switch (Def.Holder) {
        case TSettingHolder::CheckBox:
        case TSettingHolder::RadioButton:
            return DwordValue(FLive.GetBool(Def.Id) ? 1 : 0);
        case TSettingHolder::Edit:
        case TSettingHolder::Memo:
            return TextValue(REG_SZ, FLive.GetText(Def.Id));
        case TSettingHolder::MessagePort:
            return DwordValue(static_cast<std::uint32_t>(FLive.MessagePort()));
        case TSettingHolder::TalkPort:
            return DwordValue(static_cast<std::uint32_t>(FLive.TalkPort()));
        case TSettingHolder::RecentHosts:
            return TextValue(REG_SZ, JoinRecentHosts(FLive.RecentHosts()));
    }
    return {};
}

void TSettingsStore::SaveSettings() {
    try {
        const std::unique_ptr<TRegKey> key = FRegistry.CreateKey(SettingsKeyPath);
        for (const TSettingDef& def : SettingsTable)
            key->SetValue(std::string(def.Name), StoredValue(def));
        if (FKeepOldFile) key->KeepOldFileAside();
        key->Close();
        FKeepOldFile = false;
    } catch (const ERegistryError&) {
        ShowWriteError();
        return;
    }
    const bool written = FLive.GetBool(TSettingId::StartWithWindows)
                             ? FAutostart.Enable(FLive.ExecutablePath())
                             : FAutostart.Disable();
    if (!written) ShowWriteError();
}

void TSettingsStore::ShowWriteError() {
    FBoxes.Show(nullptr, SettingsWriteError, SettingsErrorCaption, TMsgIcon::Error,
                TMsgButtons::Ok);
}
