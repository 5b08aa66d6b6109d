#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/InputBox.h"
#include "platform/MessageBox.h"
#include "platform/ServiceDiscovery.h"
#include "platform/Sound.h"

namespace testsupport {

// Answers message boxes without showing anything and keeps what was asked.
class RecordingMessageBox : public IMessageBoxService {
public:
    struct Box {
        std::string text, caption;
        TMsgIcon icon;
        TMsgButtons buttons;
    };

    TMsgResult Show(QWidget*, const std::string& Text, const std::string& Caption, TMsgIcon Icon,
                    TMsgButtons Buttons) override {
        boxes.push_back({Text, Caption, Icon, Buttons});
        if (!answers.empty()) {
            const TMsgResult answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return Buttons == TMsgButtons::YesNo ? TMsgResult::Yes : TMsgResult::Ok;
    }

    // The next Yes/No boxes get these answers, in order; afterwards Yes.
    void SetNextAnswers(std::initializer_list<TMsgResult> next) { answers.assign(next); }

    std::vector<Box> boxes;
    std::deque<TMsgResult> answers;
};

// Answers input boxes without showing anything and keeps what was asked.
class RecordingInputBox : public IInputBoxService {
public:
    struct Query {
        std::string caption, prompt, value;  // value: what the field started with
    };

    bool InputQuery(QWidget*, const std::string& Caption, const std::string& Prompt,
                    std::string& Value) override {
        queries.push_back({Caption, Prompt, Value});
        if (answers.empty()) return true;  // OK, the value as it was
        const std::optional<std::string> answer = answers.front();
        answers.pop_front();
        if (!answer) return false;
        Value = *answer;
        return true;
    }

    // The next boxes get these answers, in order (std::nullopt is Cancel);
    // afterwards OK with the value unchanged.
    void SetNextAnswers(std::initializer_list<std::optional<std::string>> next) {
        answers.assign(next);
    }

    std::vector<Query> queries;
    std::deque<std::optional<std::string>> answers;
};

class RecordingSound : public ISoundPlayer {
public:
    void Beep() override { played.push_back("<beep>"); }
    void PlayFile(const std::string& Path) override { played.push_back(Path); }
    std::vector<std::string> played;
};

// Stands in for the desktop's DNS-SD service: records what is announced and
// lets the test say what the browsers see.
struct StandInDiscovery : IServiceDiscovery {
    struct Browser : IServiceBrowser {
        explicit Browser(StandInDiscovery& o) : owner(o) { owner.browsers.push_back(this); }
        ~Browser() override { std::erase(owner.browsers, this); }
        StandInDiscovery& owner;
    };
    void Announce(const TAnnouncement& a) override {
        calls.push_back("announce " + a.Name + " " + std::to_string(a.Port) + " " +
                        std::to_string(a.TalkPort));
    }
    void Withdraw() override { calls.push_back("withdraw"); }
    std::unique_ptr<IServiceBrowser> Browse() override { return std::make_unique<Browser>(*this); }
    void Found(const TServiceRecord& r) {
        for (Browser* b : browsers) b->OnFound(r);
    }
    void Gone(const std::string& key) {
        for (Browser* b : browsers) b->OnGone(key);
    }
    std::vector<Browser*> browsers;
    std::vector<std::string> calls;
};

}  // namespace testsupport
