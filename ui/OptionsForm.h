#pragma once

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QToolButton;
class TNumberEdit;

// The options dialog's window and controls. The controls are the program's
// live settings: everything that needs an option reads its control when it
// needs it. The main form derives from this and adds the behaviour.
class TOptionsForm : public QDialog {
    Q_OBJECT
public:
    explicit TOptionsForm(QWidget* parent = nullptr);

    // Client size and control positions are those of a dialog laid out for a
    // small 8-point font; everything is scaled up so the longest caption fits
    // the font in use.
    static constexpr int ClientWidth = 612;
    static constexpr int ClientHeight = 333;

    QGroupBox* gbOptions;
    QCheckBox* cbAlertOnMessage;
    QCheckBox* cbAlertsOnTop;
    QCheckBox* cbBeepOnMessage;
    QRadioButton* rbDefaultSound;
    QRadioButton* rbCustomSound;
    QLineEdit* edCustomSound;
    QToolButton* btnSelectSound;
    QToolButton* btnPlay;
    QCheckBox* cbShowSplash;
    QCheckBox* cbStartWithWindows;
    QCheckBox* cbSaveMessages;
    QGroupBox* gbAdvanced;
    QLabel* lblPort;
    TNumberEdit* edPort;
    QLabel* lblTalkPort;
    TNumberEdit* edTalkPort;
    QGroupBox* gbAutoResponse;
    QCheckBox* cbEnableAutoResponse;
    QCheckBox* cbAutoDisableAlerts;
    QRadioButton* rbAskForResponse;
    QRadioButton* rbUseDefaultResponse;
    QLabel* lblResponseMessage;
    QPlainTextEdit* mmResponseMessage;
    QPushButton* btnDeleteReceivedMessages;
    QPushButton* btnDeleteSavedMessages;
    QPushButton* btnOK;
    QPushButton* btnCancel;

protected:
    // Enabling rules, run whenever the check boxes change state (by the user or
    // by loading the settings).
    void cbAlertOnMessageClick();
    void cbBeepOnMessageClick();
    void cbEnableAutoResponseClick();

    double FScale = 1.0;
};
