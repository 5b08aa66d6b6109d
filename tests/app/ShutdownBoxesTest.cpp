#include "app/ShutdownBoxes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/Recorders.h"

namespace {

TEST(ShutdownBoxes, AskUntilTheProgramIsEndedFromOutsideThenReportAndDecide) {
    testsupport::RecordingMessageBox shown;
    std::vector<std::string> reported;
    TShutdownBoxes boxes(shown, [&](const std::string& Line) { reported.push_back(Line); });

    shown.SetNextAnswers({TMsgResult::Yes});
    EXPECT_EQ(
        boxes.Show(nullptr, "Delete?", "Confirmation", TMsgIcon::Question, TMsgButtons::YesNo),
        TMsgResult::Yes);
    EXPECT_EQ(shown.boxes.size(), 1u);
    EXPECT_TRUE(reported.empty());

    boxes.SetQuiet(true);
    const struct {
        std::string text, caption;
        TMsgButtons buttons;
        TMsgResult answer;
        std::string line;
    } cases[] = {
        {"Cannot create file /usr/bin/Saved messages.txt", "Wexlo - Messages sending utility",
         TMsgButtons::Ok, TMsgResult::Ok,
         "wexlo: Wexlo - Messages sending utility: Cannot create file /usr/bin/Saved "
         "messages.txt\n"},
        // A question is answered No: nothing is given up unasked.
        {"Do you want to delete the saved messages?\r(Received messages will be preserved)",
         "Confirmation", TMsgButtons::YesNo, TMsgResult::No,
         "wexlo: Confirmation: Do you want to delete the saved messages? (Received messages "
         "will be preserved)\n"},
        {"two\r\nlines", "Error", TMsgButtons::Ok, TMsgResult::Ok, "wexlo: Error: two  lines\n"},
    };
    for (const auto& c : cases) {
        reported.clear();
        EXPECT_EQ(boxes.Show(nullptr, c.text, c.caption, TMsgIcon::Error, c.buttons), c.answer);
        EXPECT_EQ(reported, std::vector<std::string>{c.line});
    }
    EXPECT_EQ(shown.boxes.size(), 1u) << "nothing shown while quiet";

    // A logout that was called off: asking again.
    boxes.SetQuiet(false);
    boxes.Show(nullptr, "Saved", "Wexlo", TMsgIcon::Information, TMsgButtons::Ok);
    EXPECT_EQ(shown.boxes.size(), 2u);
}

}  // namespace
