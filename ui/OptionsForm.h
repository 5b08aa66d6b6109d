#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QToolButton;
class TFormLayout;
class TNumberEdit;
class TOptionsForm;

// One of the options dialog's text controls. Making a text control loads the
// fonts, which nothing else needs at start, so the dialog makes its text
// controls (and the group frames) together the first time one of them is used
// or the dialog is shown. Until then the form keeps their texts.
template <class T>
class TTextControl {
public:
    explicit TTextControl(TOptionsForm* Form) : FForm(Form) {}
    TTextControl(const TTextControl&) = delete;
    TTextControl& operator=(const TTextControl&) = delete;

    // The control, made now if it is not yet.
    T* get() const;
    T* operator->() const { return get(); }
    operator T*() const { return get(); }
    // Null while the control is not made.
    T* IfMade() const { return FControl; }

private:
    friend class TOptionsForm;
    TOptionsForm* FForm;
    T* FControl = nullptr;
};

// The options dialog's window and controls. The controls are the program's
// live settings: everything that needs an option reads its control when it
// needs it (a text control not yet made: its text as the form keeps it). The
// main form derives from this and adds the behaviour.
class TOptionsForm : public QDialog {
    Q_OBJECT
public:
    explicit TOptionsForm(QWidget* parent = nullptr);

    // Client size and control positions are those of a dialog laid out for a
    // small 8-point font; everything is scaled up so the longest caption fits
    // the font in use. The controls are placed when the dialog is first shown.
    static constexpr int ClientWidth = 612;
    static constexpr int ClientHeight = 353;

    QCheckBox* cbAlertOnMessage;
    QCheckBox* cbAlertsOnTop;
    QCheckBox* cbBeepOnMessage;
    QRadioButton* rbDefaultSound;
    QRadioButton* rbCustomSound;
    TTextControl<QLineEdit> edCustomSound{this};
    QToolButton* btnSelectSound;
    QToolButton* btnPlay;
    QCheckBox* cbShowSplash;
    QCheckBox* cbStartWithWindows;
    QCheckBox* cbSaveMessages;
    QLabel* lblPort;
    TTextControl<TNumberEdit> edPort{this};
    QLabel* lblTalkPort;
    TTextControl<TNumberEdit> edTalkPort{this};
    QCheckBox* cbAnnounce;
    QCheckBox* cbEnableAutoResponse;
    QCheckBox* cbAutoDisableAlerts;
    QRadioButton* rbAskForResponse;
    QRadioButton* rbUseDefaultResponse;
    QLabel* lblResponseMessage;
    TTextControl<QPlainTextEdit> mmResponseMessage{this};
    QPushButton* btnDeleteReceivedMessages;
    QPushButton* btnDeleteSavedMessages;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    // The texts of the text controls, made or not; setting one makes nothing.
    QString SoundFileText() const;
    void SetSoundFileText(const QString& Text);
    QString ResponseText() const;
    void SetResponseText(const QString& Text);
    void SetPortTexts(const QString& Port, const QString& TalkPort);

    void setVisible(bool Visible) override;

protected:
    // Called once, when the text controls have just been made and hold the
    // texts kept until then.
    virtual void TextControlsMade() {}

    // Enabling rules, run whenever the check boxes change state (by the user or
    // by loading the settings).
    void cbAlertOnMessageClick();
    void cbBeepOnMessageClick();
    void cbEnableAutoResponseClick();

private:
    template <class T>
    friend class TTextControl;
    void MakeTextControls();
    void LayOut();

    // A group's controls sit on a plain area; its frame and title, a group
    // box, go behind them when the text controls are made.
    struct TGroup {
        QWidget* Area;
        QGroupBox* Box;
        const char* Name;
        const char* Title;
    };
    TGroup FGeneral, FAdvanced, FAutoResponse;
    // How each control is placed, once the scale is known.
    std::vector<std::function<void(const TFormLayout&)>> FPlaces;
    bool FTextControlsMade = false;
    bool FLaidOut = false;
    QString FSoundFileText, FResponseText, FPortText, FTalkPortText;
};

template <class T>
T* TTextControl<T>::get() const {
    if (!FControl) FForm->MakeTextControls();
    return FControl;
}
