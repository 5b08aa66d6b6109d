#include "ui/SendMessage.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QToolButton>

#include "messaging/FoundPeers.h"
#include "platform/Exceptions.h"
#include "platform/MessageBox.h"
#include "platform/TextCodec.h"
#include "platform/WindowStacking.h"
#include "ui/FormLayout.h"

TfSendMessage* fSendMessage = nullptr;

namespace {
// Each host entry keeps the bytes it came with, so that names from the
// settings go back unchanged whatever they decode to.
constexpr int HostBytesRole = Qt::UserRole;
// Set on the copies found on the network, which follow the recent hosts.
constexpr int FoundRole = Qt::UserRole + 1;

bool IsEnter(const QKeyEvent* Event) {
    return Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
}
}  // namespace

TfSendMessage::TfSendMessage(IMessageBoxService& MessageBoxes, TSendDialogEvents Events)
    : QWidget(nullptr), FMessageBoxes(MessageBoxes), FEvents(std::move(Events)) {
    setObjectName(QStringLiteral("fSendMessage"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QStringLiteral("Wexlo  -  Send a message"));
    const QIcon sendIcon =
        QIcon::fromTheme(QStringLiteral("mail-send"), style()->standardIcon(QStyle::SP_ArrowRight));
    setWindowIcon(sendIcon);
    setFixedSize(452, 273);
    const TFormLayout layout;

    lblHost = new QLabel(QStringLiteral("Computer name or IP address:"), this);
    lblHost->setObjectName(QStringLiteral("lblHost"));
    layout.PlaceLabel(lblHost, 10, 5);

    cmbHost = new QComboBox(this);
    cmbHost->setObjectName(QStringLiteral("cmbHost"));
    cmbHost->setEditable(true);
    // The list is kept by btnSendClick alone; Enter must not add to it.
    cmbHost->setInsertPolicy(QComboBox::NoInsert);
    cmbHost->setGeometry(10, 20, 156, cmbHost->sizeHint().height());

    btnClearAddress = new QToolButton(this);
    btnClearAddress->setObjectName(QStringLiteral("btnClearAddress"));
    btnClearAddress->setAutoRaise(true);
    btnClearAddress->setFocusPolicy(Qt::NoFocus);
    btnClearAddress->setIcon(QIcon::fromTheme(
        QStringLiteral("edit-clear"), style()->standardIcon(QStyle::SP_LineEditClearButton)));
    btnClearAddress->setToolTip(QStringLiteral("Clear name/address list"));
    btnClearAddress->setGeometry(170, 18, 26, 25);

    btnSend = new QPushButton(sendIcon, QStringLiteral("&Send the message"), this);
    btnSend->setObjectName(QStringLiteral("btnSend"));
    btnSend->setToolTip(QStringLiteral("Send the message (Ctrl+Enter)"));
    btnSend->setDefault(true);
    btnSend->setGeometry(220, 17, 131, 27);

    btnCancel = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                                QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setToolTip(QStringLiteral("Cancel (Esc)"));
    btnCancel->setGeometry(365, 17, 76, 27);

    lblMessage = new QLabel(QStringLiteral("Message text:"), this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    layout.PlaceLabel(lblMessage, 10, 45);

    mmMessage = new QPlainTextEdit(this);
    mmMessage->setObjectName(QStringLiteral("mmMessage"));
    mmMessage->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mmMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmMessage->setTabChangesFocus(true);
    mmMessage->setGeometry(10, 60, 431, 201);

    setTabOrder(cmbHost, mmMessage);
    setTabOrder(mmMessage, btnSend);
    setTabOrder(btnSend, btnCancel);
    cmbHost->setFocus();

    // The combo box has the focus and hands keys on to its line edit itself.
    cmbHost->installEventFilter(this);
    mmMessage->installEventFilter(this);

    connect(btnSend, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnSendClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnCancelClick(); }); });
    connect(btnClearAddress, &QToolButton::clicked, this,
            [this] { Guarded(this, [this] { btnClearAddressClick(); }); });

    TFormLayout::CentreOnScreen(this);
}

TfSendMessage::~TfSendMessage() {
    if (fSendMessage == this) fSendMessage = nullptr;
}

void TfSendMessage::AddHosts(const std::vector<std::string>& Hosts) {
    for (const std::string& host : Hosts)
        cmbHost->addItem(DecodeForLine(host), QByteArray::fromStdString(host));
}

std::vector<std::string> TfSendMessage::Hosts() const {
    std::vector<std::string> hosts;
    for (int i = 0; i < RecentCount(); ++i)
        hosts.push_back(cmbHost->itemData(i, HostBytesRole).toByteArray().toStdString());
    return hosts;
}

bool TfSendMessage::IsFound(int Index) const {
    return cmbHost->itemData(Index, FoundRole).toBool();
}

// The found copies are always last.
int TfSendMessage::RecentCount() const {
    int count = cmbHost->count();
    while (count > 0 && IsFound(count - 1)) --count;
    return count;
}

void TfSendMessage::ShowFoundPeers(std::unique_ptr<TFoundPeers> Peers,
                                   std::function<int()> OwnPort) {
    FFoundPeers = std::move(Peers);
    FFoundPeers->OnChanged = [this, OwnPort = std::move(OwnPort)] {
        SetFoundHosts(FFoundPeers->Offered(OwnPort()));
    };
    FFoundPeers->OnChanged();
}

void TfSendMessage::SetFoundHosts(const std::vector<std::string>& Names) {
    // The host field keeps what it shows, whichever entries come and go.
    const QString shown = cmbHost->currentText();
    for (int i = cmbHost->count() - 1; i >= 0 && IsFound(i); --i) cmbHost->removeItem(i);
    const int recent = cmbHost->count();
    for (const std::string& name : Names) {
        const QString text = DecodeForLine(name);
        bool known = false;
        for (int i = 0; i < recent && !known; ++i)
            known = cmbHost->itemText(i).compare(text, Qt::CaseInsensitive) == 0;
        if (known) continue;
        cmbHost->addItem(text, QByteArray::fromStdString(name));
        const int added = cmbHost->count() - 1;
        cmbHost->setItemData(added, true, FoundRole);
        cmbHost->setItemData(added, QStringLiteral("Found on the network"), Qt::ToolTipRole);
    }
    if (cmbHost->currentText() != shown) cmbHost->setEditText(shown);
}

void TfSendMessage::SetHostText(const std::string& Host) {
    cmbHost->setEditText(DecodeForLine(Host));
}

std::string TfSendMessage::HostText() const {
    const QString text = cmbHost->currentText();
    const int index = cmbHost->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0) return cmbHost->itemData(index, HostBytesRole).toByteArray().toStdString();
    return EncodeTyped(text);
}

void TfSendMessage::SetMessageText(const std::string& Text) {
    mmMessage->setPlainText(DecodeForScreen(Text));
}

std::string TfSendMessage::MessageText() const {
    // The raw text keeps what toPlainText would change (non-breaking spaces);
    // blocks and Shift+Enter line breaks both become CR LF.
    QString text = mmMessage->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
    return EncodeTyped(text);
}

void TfSendMessage::UpdateStacking() {
    SetKeepAbove(this, FEvents.HasMessageWindows && FEvents.HasMessageWindows());
}

void TfSendMessage::btnSendClick() {
    const QPointer<TfSendMessage> self(this);
    if (cmbHost->currentText().isEmpty()) {
        FMessageBoxes.Show(this, "Please write a computer name or address",
                           "Computer not specified", TMsgIcon::Warning, TMsgButtons::Ok);
        if (self) cmbHost->setFocus();
        return;
    }
    if (mmMessage->document()->isEmpty()) {
        FMessageBoxes.Show(this, "Please write a message", "Message not specified",
                           TMsgIcon::Warning, TMsgButtons::Ok);
        if (self) mmMessage->setFocus();
        return;
    }

    // The chosen host goes to the top: an entry equal but for letter case is
    // exchanged with the first one (and stays as stored), a new one is put first.
    // Only the recent hosts take part: a found copy chosen is a typed name.
    const QString host = cmbHost->currentText();
    int found = -1;
    for (int i = 0; i < RecentCount() && found < 0; ++i)
        if (cmbHost->itemText(i).compare(host, Qt::CaseInsensitive) == 0) found = i;
    if (found < 0) {
        cmbHost->insertItem(0, host, QByteArray::fromStdString(EncodeTyped(host)));
    } else if (found > 0) {
        const QString topText = cmbHost->itemText(0);
        const QVariant topBytes = cmbHost->itemData(0, HostBytesRole);
        cmbHost->setItemText(0, cmbHost->itemText(found));
        cmbHost->setItemData(0, cmbHost->itemData(found, HostBytesRole), HostBytesRole);
        cmbHost->setItemText(found, topText);
        cmbHost->setItemData(found, topBytes, HostBytesRole);
    }
    cmbHost->setCurrentIndex(0);

    // Refused because another send is still connecting: the dialog stays, with
    // its host and text, so the user can retry. Otherwise it closes, also when
    // the send failed.
    bool accepted = true;
    try {
        if (FEvents.SendMessageTo) accepted = FEvents.SendMessageTo(Hosts(), MessageText());
    } catch (...) {
        if (self) close();
        throw;
    }
    if (self && accepted) close();
}

void TfSendMessage::btnCancelClick() {
    close();
}

void TfSendMessage::btnClearAddressClick() {
    const QPointer<TfSendMessage> self(this);
    const TMsgResult answer =
        FMessageBoxes.Show(this, "Do you want to clear the computer names/address list?",
                           Caption::Confirmation, TMsgIcon::Question, TMsgButtons::YesNo);
    if (!self || answer != TMsgResult::Yes) return;
    // The copies found on the network are not the user's list: they stay.
    for (int i = RecentCount() - 1; i >= 0; --i) cmbHost->removeItem(i);
    cmbHost->clearEditText();
}

bool TfSendMessage::mmMessageKeyDown(QKeyEvent* Event) {
    if (IsEnter(Event) && (Event->modifiers() & Qt::ControlModifier)) {
        btnSend->click();
        return true;
    }
    if (Event->key() == Qt::Key_Escape) {
        btnCancel->click();
        return true;
    }
    return false;
}

bool TfSendMessage::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() != QEvent::KeyPress) return QWidget::eventFilter(Watched, Event);
    auto* key = static_cast<QKeyEvent*>(Event);
    if (mmMessageKeyDown(key)) return true;
    // Enter in the host field presses the default button; in the memo it is a
    // new line, which the memo makes itself.
    if (Watched != mmMessage && IsEnter(key) && !(key->modifiers() & ~Qt::KeypadModifier)) {
        btnSend->click();
        return true;
    }
    return QWidget::eventFilter(Watched, Event);
}

void TfSendMessage::keyPressEvent(QKeyEvent* Event) {
    // Keys the focused control left alone: Esc is Cancel, Enter presses the
    // focused button or else the default one.
    if (Event->key() == Qt::Key_Escape && Event->modifiers() == Qt::NoModifier) {
        btnCancel->click();
    } else if (IsEnter(Event) && !(Event->modifiers() & ~Qt::KeypadModifier)) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        (focused ? focused : btnSend)->click();
    } else {
        QWidget::keyPressEvent(Event);
    }
}

void TfSendMessage::setVisible(bool Visible) {
    // Stacking is settled before the window is mapped, where the window
    // manager takes it from the window's initial state.
    if (Visible && !isVisible()) UpdateStacking();
    QWidget::setVisible(Visible);
}

void TfSendMessage::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    raise();
    activateWindow();
}

void TfSendMessage::paintEvent(QPaintEvent* Event) {
    UpdateStacking();
    QWidget::paintEvent(Event);
}
