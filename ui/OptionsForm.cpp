#include "ui/OptionsForm.h"

#include <algorithm>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>

#include "ui/NumberEdit.h"
#include "ui/TrayImages.h"

namespace {
// The widest caption decides how much the 8-point layout must grow.
const char* const WidestCaption = "Deactivate alerts && sounds when auto-response is activated";
constexpr int WidestCaptionRoom = 306 - 20;  // its check box width minus the box itself

template <class W>
W* Make(QWidget* parent, const char* name) {
    auto* w = new W(parent);
    w->setObjectName(QLatin1String(name));
    return w;
}
}  // namespace

TOptionsForm::TOptionsForm(QWidget* parent) : QDialog(parent) {
    setObjectName("fMain");
    setWindowTitle("Wexlo  -  Options");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    const int needed = fontMetrics().horizontalAdvance(QString(WidestCaption).replace("&&", "&"));
    FScale = std::max(1.0, double(needed) / WidestCaptionRoom);
    auto place = [this](QWidget* w, int x, int y, int width, int height) {
        w->setGeometry(int(x * FScale), int(y * FScale), int(width * FScale), int(height * FScale));
    };
    auto placeLabel = [this](QLabel* l, int x, int y) {
        l->move(int(x * FScale), int(y * FScale));
        l->adjustSize();
    };
    // Check boxes and radio buttons are made alike.
    auto button = [&]<class B>(QWidget* parent, const char* name, const char* caption, int x, int y,
                               int w, int h, bool checked) {
        auto* b = Make<B>(parent, name);
        b->setText(caption);
        b->setChecked(checked);
        place(b, x, y, w, h);
        return b;
    };
    auto check = [&](auto&&... args) { return button.template operator()<QCheckBox>(args...); };
    auto radio = [&](auto&&... args) { return button.template operator()<QRadioButton>(args...); };

    gbOptions = Make<QGroupBox>(this, "gbOptions");
    gbOptions->setTitle("General");
    place(gbOptions, 5, 5, 266, 226);
    cbAlertOnMessage = check(gbOptions, "cbAlertOnMessage", "Show an alert when a message arrives",
                             10, 20, 246, 17, true);
    cbAlertsOnTop = check(gbOptions, "cbAlertsOnTop", "Show alerts on top of other windows", 20, 42,
                          236, 17, true);
    cbBeepOnMessage = check(gbOptions, "cbBeepOnMessage", "Play sound when a message arrives", 10,
                            65, 246, 17, true);
    rbDefaultSound =
        radio(gbOptions, "rbDefaultSound", "Windows default sound", 20, 87, 236, 17, false);
    rbCustomSound = radio(gbOptions, "rbCustomSound", "Custom sound:", 20, 105, 236, 17, true);
    edCustomSound = Make<QLineEdit>(gbOptions, "edCustomSound");
    edCustomSound->setToolTip("Custom sound file (leave blank for no sound)");
    place(edCustomSound, 25, 126, 163, 21);
    btnSelectSound = Make<QToolButton>(gbOptions, "btnSelectSound");
    btnSelectSound->setToolTip("Select custom sound");
    btnSelectSound->setAutoRaise(true);
    btnSelectSound->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    place(btnSelectSound, 195, 123, 26, 26);
    btnPlay = Make<QToolButton>(gbOptions, "btnPlay");
    btnPlay->setToolTip("Play sound");
    btnPlay->setAutoRaise(true);
    btnPlay->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    place(btnPlay, 228, 123, 26, 26);
    cbShowSplash = check(gbOptions, "cbShowSplash", "Show splash screen", 10, 160, 246, 17, true);
    cbStartWithWindows =
        check(gbOptions, "cbStartWithWindows", "Start with Windows", 10, 180, 246, 17, true);
    cbSaveMessages = check(gbOptions, "cbSaveMessages", "Save received messages on exit", 10, 200,
                           246, 17, false);

    gbAdvanced = Make<QGroupBox>(this, "gbAdvanced");
    gbAdvanced->setTitle("Advanced options");
    place(gbAdvanced, 5, 235, 266, 56);
    lblPort = Make<QLabel>(gbAdvanced, "lblPort");
    lblPort->setText("Port number:");
    placeLabel(lblPort, 9, 27);
    edPort = Make<TNumberEdit>(gbAdvanced, "edPort");
    edPort->setMaxLength(5);
    place(edPort, 74, 22, 41, 21);
    lblTalkPort = Make<QLabel>(gbAdvanced, "lblTalkPort");
    lblTalkPort->setText("Talk port number:");
    placeLabel(lblTalkPort, 127, 27);
    edTalkPort = Make<TNumberEdit>(gbAdvanced, "edTalkPort");
    edTalkPort->setMaxLength(5);
    place(edTalkPort, 215, 22, 41, 21);

    gbAutoResponse = Make<QGroupBox>(this, "gbAutoResponse");
    gbAutoResponse->setTitle("Automatic response");
    place(gbAutoResponse, 280, 5, 326, 246);
    cbEnableAutoResponse =
        check(gbAutoResponse, "cbEnableAutoResponse", "Activate auto-response when program starts",
              10, 20, 306, 17, false);
    cbAutoDisableAlerts =
        check(gbAutoResponse, "cbAutoDisableAlerts",
              "Deactivate alerts && sounds when auto-response is activated", 10, 40, 306, 17, true);
    rbAskForResponse =
        radio(gbAutoResponse, "rbAskForResponse",
              "Ask for reponse message when auto-response is activated", 10, 65, 306, 17, true);
    rbUseDefaultResponse = radio(gbAutoResponse, "rbUseDefaultResponse",
                                 "Use always the default message", 10, 85, 306, 17, false);
    lblResponseMessage = Make<QLabel>(gbAutoResponse, "lblResponseMessage");
    lblResponseMessage->setText("Default message:");
    placeLabel(lblResponseMessage, 10, 110);
    mmResponseMessage = Make<QPlainTextEdit>(gbAutoResponse, "mmResponseMessage");
    mmResponseMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmResponseMessage->setPlainText("I'll be absent for five minutes");
    place(mmResponseMessage, 10, 125, 306, 111);

    btnDeleteReceivedMessages = Make<QPushButton>(this, "btnDeleteReceivedMessages");
    btnDeleteReceivedMessages->setText("Delete received messages");
    btnDeleteReceivedMessages->setIcon(MenuImage(2));
    btnDeleteReceivedMessages->setAutoDefault(false);
    place(btnDeleteReceivedMessages, 285, 260, 161, 26);
    btnDeleteSavedMessages = Make<QPushButton>(this, "btnDeleteSavedMessages");
    btnDeleteSavedMessages->setText("Delete saved &messages");
    btnDeleteSavedMessages->setIcon(MenuImage(6));
    btnDeleteSavedMessages->setAutoDefault(false);
    place(btnDeleteSavedMessages, 455, 260, 146, 26);
    btnOK = Make<QPushButton>(this, "btnOK");
    btnOK->setText("&OK");
    btnOK->setDefault(true);
    place(btnOK, 218, 300, 76, 26);
    btnCancel = Make<QPushButton>(this, "btnCancel");
    btnCancel->setText("&Cancel");
    btnCancel->setAutoDefault(false);
    place(btnCancel, 318, 300, 76, 26);

    // Tab order: the general group, the ports, the two delete buttons, OK and
    // Cancel, then the auto-response group.
    QWidget* order[] = {cbAlertOnMessage,
                        cbAlertsOnTop,
                        cbBeepOnMessage,
                        rbDefaultSound,
                        rbCustomSound,
                        cbShowSplash,
                        cbStartWithWindows,
                        cbSaveMessages,
                        edCustomSound,
                        edPort,
                        edTalkPort,
                        btnDeleteSavedMessages,
                        btnDeleteReceivedMessages,
                        btnOK,
                        btnCancel,
                        mmResponseMessage,
                        cbAutoDisableAlerts,
                        rbAskForResponse,
                        rbUseDefaultResponse,
                        cbEnableAutoResponse};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    mmResponseMessage->setTabChangesFocus(true);
    btnSelectSound->setFocusPolicy(Qt::NoFocus);
    btnPlay->setFocusPolicy(Qt::NoFocus);

    setFixedSize(int(ClientWidth * FScale), int(ClientHeight * FScale));

    connect(cbAlertOnMessage, &QCheckBox::toggled, this, [this] { cbAlertOnMessageClick(); });
    connect(cbBeepOnMessage, &QCheckBox::toggled, this, [this] { cbBeepOnMessageClick(); });
    connect(cbEnableAutoResponse, &QCheckBox::toggled, this,
            [this] { cbEnableAutoResponseClick(); });
}

void TOptionsForm::cbAlertOnMessageClick() {
    cbAlertsOnTop->setEnabled(cbAlertOnMessage->isChecked());
}

void TOptionsForm::cbBeepOnMessageClick() {
    const bool on = cbBeepOnMessage->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(rbDefaultSound), static_cast<QWidget*>(rbCustomSound),
                       static_cast<QWidget*>(btnSelectSound), static_cast<QWidget*>(btnPlay),
                       static_cast<QWidget*>(edCustomSound)})
        w->setEnabled(on);
}

void TOptionsForm::cbEnableAutoResponseClick() {
    if (cbEnableAutoResponse->isChecked()) rbUseDefaultResponse->setChecked(true);
}
