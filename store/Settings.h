#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Autostart.h"
#include "platform/MessageBox.h"
#include "platform/RegistryFile.h"

// The program's options. They have no copy of their own: each one is the
// state of the options dialog's control that edits it (or a field of the main
// form), read when it is needed. This unit moves them between those holders
// and the per-user store.

enum class TSettingId {
    AlertOnMessage,
    AlertsOnTop,
    BeepOnMessage,
    DefaultSound,
    CustomSound,
    SoundFile,
    ShowSplash,
    StartWithWindows,
    SaveMessages,
    EnableAutoResponse,
    AutoDisableAlerts,
    AskForResponse,
    UseDefaultResponse,
    ResponseMessage,
    Port,
    TalkPort,
    RecentHosts,
    Announce,
};

enum class TSettingType { Bool, Integer, String };

enum class TSettingHolder {
    CheckBox,     // GetBool / SetBool
    RadioButton,  // GetBool / SetBool
    Edit,         // GetText / SetText
    Memo,         // GetText / SetText
    MessagePort,  // MessagePort / SetMessagePort
    TalkPort,     // TalkPort / SetTalkPort
    RecentHosts,  // RecentHosts / SetRecentHosts
};

struct TSettingDef {
    TSettingId Id;
    std::string_view Name;  // the value's name in the store
    TSettingType Type;
    TSettingHolder Holder;
    std::string_view Control;  // the control or field that holds it
    // The holder's state before anything is loaded. The sound file's default
    // depends on the executable's place, see DefaultSoundFile.
    bool DefaultBool;
    int DefaultInt;
    std::string_view DefaultText;
};

// All options, in the order in which loading and saving walk them.
inline constexpr std::array<TSettingDef, 18> SettingsTable{{
    {TSettingId::AlertOnMessage, "Show alert on message", TSettingType::Bool,
     TSettingHolder::CheckBox, "cbAlertOnMessage", true, 0, ""},
    {TSettingId::AlertsOnTop, "Show OnTop", TSettingType::Bool, TSettingHolder::CheckBox,
     "cbAlertsOnTop", true, 0, ""},
    {TSettingId::BeepOnMessage, "Play sound", TSettingType::Bool, TSettingHolder::CheckBox,
     "cbBeepOnMessage", true, 0, ""},
    {TSettingId::DefaultSound, "Use Windows default sound", TSettingType::Bool,
     TSettingHolder::RadioButton, "rbDefaultSound", false, 0, ""},
    {TSettingId::CustomSound, "Use custom sound", TSettingType::Bool, TSettingHolder::RadioButton,
     "rbCustomSound", true, 0, ""},
    {TSettingId::SoundFile, "Sound file", TSettingType::String, TSettingHolder::Edit,
     "edCustomSound", false, 0, ""},
    {TSettingId::ShowSplash, "Show splash window", TSettingType::Bool, TSettingHolder::CheckBox,
     "cbShowSplash", true, 0, ""},
    {TSettingId::StartWithWindows, "Start with Windows", TSettingType::Bool,
     TSettingHolder::CheckBox, "cbStartWithWindows", true, 0, ""},
    {TSettingId::SaveMessages, "Save messages on exit", TSettingType::Bool,
     TSettingHolder::CheckBox, "cbSaveMessages", false, 0, ""},
    {TSettingId::EnableAutoResponse, "Enable auto-reponse on start", TSettingType::Bool,
     TSettingHolder::CheckBox, "cbEnableAutoResponse", false, 0, ""},
    {TSettingId::AutoDisableAlerts, "Auto-disable alerts", TSettingType::Bool,
     TSettingHolder::CheckBox, "cbAutoDisableAlerts", true, 0, ""},
    {TSettingId::AskForResponse, "Ask for response message", TSettingType::Bool,
     TSettingHolder::RadioButton, "rbAskForResponse", true, 0, ""},
    {TSettingId::UseDefaultResponse, "Use default response", TSettingType::Bool,
     TSettingHolder::RadioButton, "rbUseDefaultResponse", false, 0, ""},
    {TSettingId::ResponseMessage, "Response message", TSettingType::String, TSettingHolder::Memo,
     "mmResponseMessage", false, 0, "I'll be absent for five minutes"},
    {TSettingId::Port, "Port", TSettingType::Integer, TSettingHolder::MessagePort, "ServerSocket",
     false, 13769, ""},
    {TSettingId::TalkPort, "Talk Port", TSettingType::Integer, TSettingHolder::TalkPort,
     "FTalkPort", false, 13770, ""},
    {TSettingId::RecentHosts, "Recent hosts", TSettingType::String, TSettingHolder::RecentHosts,
     "FRecentHosts", false, 0, ""},
    // Added after the first seventeen, which copies elsewhere read by name:
    // a file without it keeps the default, and they leave it alone.
    {TSettingId::Announce, "Announce on network", TSettingType::Bool, TSettingHolder::CheckBox,
     "cbAnnounce", true, 0, ""},
}};

const TSettingDef& SettingDef(TSettingId Id);

inline const std::string SettingsKeyPath = "Software\\Drelmo Soft\\Wexlo";
inline const std::string SettingsWriteError = "Error while writing in the Windows Registry.";
inline const std::string SettingsErrorCaption = "Error";

// What the user is told when the stored settings could not all be used.
std::string UnreadableValuesText(const std::string& File, const std::vector<std::string>& Names,
                                 const std::string& BadCopy);
std::string UnparsableFileText(const std::string& File, const std::string& BadCopy);
std::string UnreadableFileText(const std::string& Reason);

// What the settings need of the main form, which owns the holders. Texts are
// bytes, passed unconverted.
class ILiveSettings {
public:
    virtual ~ILiveSettings() = default;

    // Check boxes and radio buttons. Setting a check box to a different state
    // runs its click handler, as a user's click would (enabling rules,
    // auto-response at start selecting the default response). Setting a radio
    // button to true clears the other button of its pair; setting it to false
    // changes nothing else.
    virtual bool GetBool(TSettingId Id) const = 0;
    virtual void SetBool(TSettingId Id, bool Value) = 0;

    // The sound file edit and the response memo: the whole text, a memo's
    // lines joined by CR LF.
    virtual std::string GetText(TSettingId Id) const = 0;
    virtual void SetText(TSettingId Id, const std::string& Value) = 0;

    // The port in force on the listening socket. Setting it sets the
    // listener's port, then gives the outgoing socket the listener's port;
    // both sockets are closed when this is called.
    virtual int MessagePort() const = 0;
    virtual void SetMessagePort(int Port) = 0;

    // The talk port field (not its edit box).
    virtual int TalkPort() const = 0;
    virtual void SetTalkPort(int Port) = 0;

    // The recent hosts, most recent first; setting replaces the whole list.
    virtual std::vector<std::string> RecentHosts() const = 0;
    virtual void SetRecentHosts(const std::vector<std::string>& Hosts) = 0;

    // Closes the listening and the outgoing message sockets, so their port
    // can change.
    virtual void CloseMessageSockets() = 0;

    // The texts of the two port edit boxes.
    virtual void SetPortEditTexts(const std::string& Port, const std::string& TalkPort) = 0;

    // The running executable's full path.
    virtual std::string ExecutablePath() const = 0;
};

// "Recent hosts": every host followed by CR LF. Reading splits at CR LF, a lone
// CR or a lone LF; a final line break gives no empty entry.
std::string JoinRecentHosts(const std::vector<std::string>& Hosts);
std::vector<std::string> SplitRecentHosts(const std::string& Text);

// "Message.wav" beside the executable, the whole path in lower case (ASCII
// letters only). When only the path as spelt exists, that one is taken
// instead, as a case-sensitive file system would never find the other. When
// neither exists, the installation's share/wexlo/message.wav if there is one.
std::string DefaultSoundFile(const std::string& ExecutablePath);

class TSettingsStore {
public:
    TSettingsStore(ILiveSettings& Live, IMessageBoxService& Boxes,
                   TRegistryFile Registry = TRegistryFile(), TAutostart Autostart = TAutostart());

    // Closes both message sockets, then reads every value into its holder in
    // table order. A missing or mistyped value keeps its holder's state (a
    // mistyped sound file takes its default) and the others still load; a
    // missing or empty text reads as empty. Without a stored key, or with a
    // store that cannot be read, only the sound file's default is set. The
    // caller reopens the listener.
    //
    // Mistyped values make the next save keep the file as it was at its .bad
    // path; an unparsable file is kept there anyway.
    void LoadSettings();

    // Tells the user, in one box, what the first load could not use. Called
    // once start-up is done; later calls show nothing.
    void ReportLoadProblems();

    // Writes all eighteen values, then puts the autostart entry in step with
    // "Start with Windows". A failure is shown to the user once and ends the
    // save; nothing is thrown.
    void SaveSettings();

    const TRegistryFile& Registry() const { return FRegistry; }
    const TAutostart& Autostart() const { return FAutostart; }

private:
    enum class TLoadResult { Applied, Missing, Unreadable };
    TLoadResult LoadValue(const TRegKey& Key, const TSettingDef& Def);
    TRegValue StoredValue(const TSettingDef& Def) const;
    void ShowWriteError();

    ILiveSettings& FLive;
    IMessageBoxService& FBoxes;
    TRegistryFile FRegistry;
    TAutostart FAutostart;
    bool FFirstLoad = true;
    std::string FLoadReport;    // for ReportLoadProblems, empty when all was well
    bool FKeepOldFile = false;  // the next save keeps the file as it was
};
