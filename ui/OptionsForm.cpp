#include "ui/OptionsForm.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>

#include "ui/FormLayout.h"
#include "ui/NamedWidget.h"
#include "ui/NumberEdit.h"
#include "ui/TrayImages.h"

namespace {
// The widest caption decides how much the 8-point layout must grow.
const char* const WidestCaption = "Deactivate alerts && sounds when auto-response is activated";
constexpr int WidestCaptionRoom = 306 - 20;  // its check box width minus the box itself

}  // namespace

TOptionsForm::TOptionsForm(QWidget* parent) : QDialog(parent) {
    setObjectName("fMain");
    setWindowTitle("Wexlo  -  Options");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    // Positions are noted now and applied at the first show (LayOut): the
    // scale needs the font's metrics.
    auto place = [this](QWidget* w, int x, int y, int width, int height) {
        FPlaces.push_back([=](const TFormLayout& l) { l.Place(w, x, y, width, height); });
    };
    auto placeLabel = [this](QLabel* label, int x, int y) {
        FPlaces.push_back([=](const TFormLayout& l) { l.PlaceLabel(label, x, y); });
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
    auto group = [&](const char* name, const char* title, int x, int y, int w, int h) {
        auto* area = new QWidget(this);
        area->setObjectName(QLatin1String(name) + QLatin1String("Area"));
        place(area, x, y, w, h);
        return TGroup{area, nullptr, name, title};
    };

    FGeneral = group("gbOptions", "General", 5, 5, 266, 226);
    QWidget* general = FGeneral.Area;
    cbAlertOnMessage = check(general, "cbAlertOnMessage", "Show an alert when a message arrives",
                             10, 20, 246, 17, true);
    cbAlertsOnTop = check(general, "cbAlertsOnTop", "Show alerts on top of other windows", 20, 42,
                          236, 17, true);
    cbBeepOnMessage = check(general, "cbBeepOnMessage", "Play sound when a message arrives", 10, 65,
                            246, 17, true);
    rbDefaultSound =
        radio(general, "rbDefaultSound", "Windows default sound", 20, 87, 236, 17, false);
    rbCustomSound = radio(general, "rbCustomSound", "Custom sound:", 20, 105, 236, 17, true);
    btnSelectSound = Make<QToolButton>(general, "btnSelectSound");
    btnSelectSound->setToolTip("Select custom sound");
    btnSelectSound->setAutoRaise(true);
    place(btnSelectSound, 195, 123, 26, 26);
    btnPlay = Make<QToolButton>(general, "btnPlay");
    btnPlay->setToolTip("Play sound");
    btnPlay->setAutoRaise(true);
    place(btnPlay, 228, 123, 26, 26);
    cbShowSplash = check(general, "cbShowSplash", "Show splash screen", 10, 160, 246, 17, true);
    cbStartWithWindows =
        check(general, "cbStartWithWindows", "Start with Windows", 10, 180, 246, 17, true);
    cbSaveMessages =
        check(general, "cbSaveMessages", "Save received messages on exit", 10, 200, 246, 17, false);

    FAdvanced = group("gbAdvanced", "Advanced options", 5, 235, 266, 76);
    lblPort = Make<QLabel>(FAdvanced.Area, "lblPort");
    lblPort->setText("Port number:");
    placeLabel(lblPort, 9, 27);
    lblTalkPort = Make<QLabel>(FAdvanced.Area, "lblTalkPort");
    lblTalkPort->setText("Talk port number:");
    placeLabel(lblTalkPort, 127, 27);
    cbAnnounce = check(FAdvanced.Area, "cbAnnounce", "Announce this computer on the network", 9,
                       50, 246, 17, true);

    FAutoResponse = group("gbAutoResponse", "Automatic response", 280, 5, 326, 246);
    QWidget* autoResponse = FAutoResponse.Area;
    cbEnableAutoResponse =
        check(autoResponse, "cbEnableAutoResponse", "Activate auto-response when program starts",
              10, 20, 306, 17, false);
    cbAutoDisableAlerts =
        check(autoResponse, "cbAutoDisableAlerts",
              "Deactivate alerts && sounds when auto-response is activated", 10, 40, 306, 17, true);
    rbAskForResponse =
        radio(autoResponse, "rbAskForResponse",
              "Ask for reponse message when auto-response is activated", 10, 65, 306, 17, true);
    rbUseDefaultResponse = radio(autoResponse, "rbUseDefaultResponse",
                                 "Use always the default message", 10, 85, 306, 17, false);
    lblResponseMessage = Make<QLabel>(autoResponse, "lblResponseMessage");
    lblResponseMessage->setText("Default message:");
    placeLabel(lblResponseMessage, 10, 110);
    FResponseText = QStringLiteral("I'll be absent for five minutes");

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
    place(btnOK, 218, 320, 76, 26);
    btnCancel = Make<QPushButton>(this, "btnCancel");
    btnCancel->setText("&Cancel");
    btnCancel->setAutoDefault(false);
    place(btnCancel, 318, 320, 76, 26);

    btnSelectSound->setFocusPolicy(Qt::NoFocus);
    btnPlay->setFocusPolicy(Qt::NoFocus);

    connect(cbAlertOnMessage, &QCheckBox::toggled, this, [this] { cbAlertOnMessageClick(); });
    connect(cbBeepOnMessage, &QCheckBox::toggled, this, [this] { cbBeepOnMessageClick(); });
    connect(cbEnableAutoResponse, &QCheckBox::toggled, this,
            [this] { cbEnableAutoResponseClick(); });
}

void TOptionsForm::MakeTextControls() {
    if (FTextControlsMade) return;
    FTextControlsMade = true;
    auto place = [this](QWidget* w, int x, int y, int width, int height) {
        FPlaces.push_back([=](const TFormLayout& l) { l.Place(w, x, y, width, height); });
    };
    for (TGroup* g : {&FGeneral, &FAdvanced, &FAutoResponse}) {
        g->Box = Make<QGroupBox>(g->Area, g->Name);
        g->Box->setTitle(g->Title);
        g->Box->lower();
    }

    auto* sound = Make<QLineEdit>(FGeneral.Area, "edCustomSound");
    sound->setToolTip("Custom sound file (leave blank for no sound)");
    sound->setText(FSoundFileText);
    sound->setEnabled(cbBeepOnMessage->isChecked());  // as the enabling rule keeps it
    place(sound, 25, 126, 163, 21);
    edCustomSound.FControl = sound;

    auto* port = Make<TNumberEdit>(FAdvanced.Area, "edPort");
    port->setMaxLength(5);
    port->setText(FPortText);
    place(port, 74, 22, 41, 21);
    edPort.FControl = port;
    auto* talkPort = Make<TNumberEdit>(FAdvanced.Area, "edTalkPort");
    talkPort->setMaxLength(5);
    talkPort->setText(FTalkPortText);
    place(talkPort, 215, 22, 41, 21);
    edTalkPort.FControl = talkPort;

    auto* response = Make<QPlainTextEdit>(FAutoResponse.Area, "mmResponseMessage");
    response->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    response->setPlainText(FResponseText);
    response->setTabChangesFocus(true);
    place(response, 10, 125, 306, 111);
    mmResponseMessage.FControl = response;
    FSoundFileText.clear();
    FResponseText.clear();
    FPortText.clear();
    FTalkPortText.clear();

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
                        sound,
                        port,
                        talkPort,
                        cbAnnounce,
                        btnDeleteSavedMessages,
                        btnDeleteReceivedMessages,
                        btnOK,
                        btnCancel,
                        response,
                        cbAutoDisableAlerts,
                        rbAskForResponse,
                        rbUseDefaultResponse,
                        cbEnableAutoResponse};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    TextControlsMade();
}

void TOptionsForm::LayOut() {
    MakeTextControls();
    FLaidOut = true;
    const int needed = fontMetrics().horizontalAdvance(QString(WidestCaption).replace("&&", "&"));
    const TFormLayout layout({double(needed) / WidestCaptionRoom});
    for (const auto& place : FPlaces) place(layout);
    for (const TGroup* g : {&FGeneral, &FAdvanced, &FAutoResponse})
        g->Box->setGeometry(g->Area->rect());
    // The style's icons come from the icon theme, looked up on first use.
    btnSelectSound->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    btnPlay->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    layout.FixSize(this, ClientWidth, ClientHeight);
}

void TOptionsForm::setVisible(bool Visible) {
    if (Visible && !FLaidOut) LayOut();
    QDialog::setVisible(Visible);
}

QString TOptionsForm::SoundFileText() const {
    return edCustomSound.IfMade() ? edCustomSound.IfMade()->text() : FSoundFileText;
}

void TOptionsForm::SetSoundFileText(const QString& Text) {
    if (QLineEdit* control = edCustomSound.IfMade())
        control->setText(Text);
    else
        FSoundFileText = Text;
}

QString TOptionsForm::ResponseText() const {
    return mmResponseMessage.IfMade() ? mmResponseMessage.IfMade()->toPlainText() : FResponseText;
}

void TOptionsForm::SetResponseText(const QString& Text) {
    if (QPlainTextEdit* control = mmResponseMessage.IfMade())
        control->setPlainText(Text);
    else
        FResponseText = Text;
}

void TOptionsForm::SetPortTexts(const QString& Port, const QString& TalkPort) {
    if (FTextControlsMade) {
        edPort->setText(Port);
        edTalkPort->setText(TalkPort);
    } else {
        FPortText = Port;
        FTalkPortText = TalkPort;
    }
}

void TOptionsForm::cbAlertOnMessageClick() {
    cbAlertsOnTop->setEnabled(cbAlertOnMessage->isChecked());
}

void TOptionsForm::cbBeepOnMessageClick() {
    const bool on = cbBeepOnMessage->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(rbDefaultSound), static_cast<QWidget*>(rbCustomSound),
                       static_cast<QWidget*>(btnSelectSound), static_cast<QWidget*>(btnPlay),
                       static_cast<QWidget*>(edCustomSound.IfMade())})
        if (w) w->setEnabled(on);
}

void TOptionsForm::cbEnableAutoResponseClick() {
    if (cbEnableAutoResponse->isChecked()) rbUseDefaultResponse->setChecked(true);
}
