#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
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

class RecordingSound : public ISoundPlayer {
public:
    void Beep() override { played.push_back("<beep>"); }
    void PlayFile(const std::string& Path) override { played.push_back(Path); }
    std::vector<std::string> played;
};

}  // namespace testsupport
