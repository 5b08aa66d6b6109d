#include "talk/Talk.h"

#include <algorithm>

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>

#include "platform/Exceptions.h"
#include "platform/InputBox.h"
#include "platform/MessageBox.h"
#include "platform/TextCodec.h"
#include "ui/FormLayout.h"
#include "ui/NamedWidget.h"
#include "ui/TrayImages.h"

TfTalk* fTalk = nullptr;

namespace {
constexpr int ClientWidth = 547;
constexpr int ClientHeight = 398;

// One row as the screen shows it. The document reads U+FFFC as an embedded
// object and NUL as nothing: neither may come from a peer as such.
QString RowText(std::string_view Row) {
    QString text = DecodeForScreen(Row);
    for (QChar& c : text)
        if (c == QChar(0) || c == QChar::ObjectReplacementCharacter)
            c = QChar::ReplacementCharacter;
    return text;
}

// Laying out a row costs the square of its longest run with nowhere to wrap
// (a peer's flood of one letter, say): a row with a long run shows unwrapped.
bool WrapsCheaply(const QString& Text) {
    constexpr qsizetype MaxRun = 1024;
    if (Text.size() <= MaxRun) return true;
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, Text);
    qsizetype last = 0;
    for (qsizetype at = breaks.toNextBoundary(); at >= 0; at = breaks.toNextBoundary()) {
        if (at - last > MaxRun) return false;
        last = at;
    }
    return true;
}
}  // namespace

// ---- panes

TTalkPane::TTalkPane(QWidget* Parent) : QTextEdit(Parent) {
    setReadOnly(true);
    setAcceptRichText(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    document()->setMaximumBlockCount(MaxLines);
}

namespace {
// Calls Row for each line of Bytes: CR LF, CR and LF end one.
template <class Fn>
void ForEachRow(std::string_view Bytes, Fn Row) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t br = Bytes.find_first_of("\r\n", at);
        Row(Bytes.substr(at, br == std::string_view::npos ? Bytes.npos : br - at));
        if (br == std::string_view::npos) break;
        at = br + (Bytes[br] == '\r' && br + 1 < Bytes.size() && Bytes[br + 1] == '\n' ? 2 : 1);
    }
}
}  // namespace

void TTalkPane::AppendLine(std::string_view Bytes, bool Bold) {
    QTextCharFormat format;
    format.setFontWeight(Bold ? QFont::Bold : QFont::Normal);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    // Text of many lines at once (a burst of refusals) can hold far more of
    // them than the pane keeps; those would only be laid out to be dropped.
    std::size_t rows = 0;
    ForEachRow(Bytes, [&](std::string_view) { ++rows; });
    std::size_t skip = rows > std::size_t(MaxLines) ? rows - std::size_t(MaxLines) : 0;
    ForEachRow(Bytes, [&](std::string_view row) {
        if (skip > 0) {
            --skip;
            return;
        }
        const QString text = RowText(row);
        QTextBlockFormat block;
        block.setNonBreakableLines(!WrapsCheaply(text));
        if (FEmpty) {
            cursor.setBlockFormat(block);
            cursor.setBlockCharFormat(format);
            FEmpty = false;
        } else {
            cursor.insertBlock(block, format);
        }
        cursor.insertText(text, format);
    });
    cursor.endEditBlock();
    // Long lines are few lines but much text: the oldest go past MaxChars.
    const int excess = document()->characterCount() - MaxChars;
    if (excess > 0) {
        QTextBlock keep = document()->findBlock(excess);
        if (keep.position() < excess) keep = keep.next();
        if (keep.isValid()) {
            QTextCursor old(document());
            old.setPosition(keep.position(), QTextCursor::KeepAnchor);
            old.removeSelectedText();
        }
    }
    // The caret goes to the end and into view, so the newest line shows.
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
    ensureCursorVisible();
}

void TTalkPane::Clear() {
    clear();
    FEmpty = true;
}

// ---- window

TfTalk::TfTalk(const TTalkServices& Services, const std::string& InitialHost, int Port)
    : QWidget(nullptr), FServices(Services) {
    // Set at once, so that a failure while the window is being made is routed
    // to it, and the tray command opens no second window meanwhile.
    fTalk = this;
    setObjectName(QStringLiteral("fTalk"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QStringLiteral("Wexlo - Talk window"));

    lblReceivedText = Make<QLabel>(this, "lblReceivedText");
    lblReceivedText->setText(QStringLiteral("Received text:"));
    redReceived = Make<TTalkPane>(this, "redReceived");
    {
        QPalette face = redReceived->palette();
        face.setColor(QPalette::Base, palette().color(QPalette::Button));
        redReceived->setPalette(face);
    }
    const QIcon clearIcon = QIcon::fromTheme(QStringLiteral("edit-clear"),
                                             style()->standardIcon(QStyle::SP_DialogResetButton));
    btnClearReceived = Make<QToolButton>(this, "btnClearReceived");
    btnClearSent = Make<QToolButton>(this, "btnClearSent");
    for (auto [button, hint] : {std::pair{btnClearReceived, "Clear received text"},
                                std::pair{btnClearSent, "Clear sent text"}}) {
        button->setIcon(clearIcon);
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setToolTip(QString::fromLatin1(hint));
        button->setStatusTip(QString::fromLatin1(hint));
    }
    lblSentText = Make<QLabel>(this, "lblSentText");
    lblSentText->setText(QStringLiteral("Sent text:"));
    redSent = Make<TTalkPane>(this, "redSent");
    lblTextToSend = Make<QLabel>(this, "lblTextToSend");
    lblTextToSend->setText(QStringLiteral("Text to send:"));
    edSendText = Make<QLineEdit>(this, "edSendText");
    edSendText->installEventFilter(this);

    const auto button = [this](const char* name, const char* caption, const QIcon& icon) {
        auto* b = Make<QPushButton>(this, name);
        b->setText(QString::fromLatin1(caption));
        b->setIcon(icon);
        return b;
    };
    btnConnect = button("btnConnect", "&Connect",
                        QIcon::fromTheme(QStringLiteral("network-connect"),
                                         style()->standardIcon(QStyle::SP_DialogYesButton)));
    btnDisconnet = button("btnDisconnet", "&Disconnet",
                          QIcon::fromTheme(QStringLiteral("network-disconnect"),
                                           style()->standardIcon(QStyle::SP_DialogNoButton)));
    btnSendMessage = button("btnSendMessage", "&Send message", MenuImage(0));
    btnExit = button("btnExit", "&Exit Talk", MenuImage(3));

    StatusBar = Make<QStatusBar>(this, "StatusBar");
    StatusBar->setSizeGripEnabled(false);
    FStatusText = Make<QLabel>(StatusBar, "StatusText");
    FStatusText->setTextFormat(Qt::PlainText);
    StatusBar->addWidget(FStatusText, 1);

    // The positions are those of a window laid out for a small 8-point font;
    // everything grows until the captions fit the font in use.
    int widestButton = 0;
    for (QPushButton* b : {btnConnect, btnDisconnet, btnSendMessage, btnExit})
        widestButton = std::max(widestButton, b->sizeHint().width());
    const TFormLayout layout({lblTextToSend->sizeHint().width() / 66.0, widestButton / 106.0,
                              StatusBar->sizeHint().height() / 19.0});
    layout.PlaceLabel(lblReceivedText, 5, 5);
    layout.Place(redReceived, 5, 20, 421, 166);
    layout.Place(btnClearReceived, 435, 155, 26, 26);
    layout.PlaceLabel(lblSentText, 5, 195);
    layout.Place(redSent, 5, 210, 421, 141);
    layout.Place(btnClearSent, 435, 215, 26, 26);
    layout.PlaceLabel(lblTextToSend, 5, 360);
    layout.Place(edSendText, 75, 355, 351, 21);
    layout.Place(btnConnect, 435, 30, 106, 29);
    layout.Place(btnDisconnet, 435, 70, 106, 29);
    layout.Place(btnSendMessage, 435, 295, 106, 29);
    layout.Place(btnExit, 435, 335, 106, 29);
    StatusBar->setGeometry(0, layout.At(ClientHeight) - layout.At(19), layout.At(ClientWidth),
                           layout.At(19));
    layout.FixSize(this, ClientWidth, ClientHeight);

    setTabOrder(btnConnect, btnDisconnet);
    setTabOrder(btnDisconnet, btnSendMessage);
    setTabOrder(btnSendMessage, btnExit);
    setTabOrder(btnExit, redReceived);
    setTabOrder(redReceived, redSent);
    setTabOrder(redSent, edSendText);
    btnConnect->setFocus();

    // What the session's calls raise is the session's failure.
    const auto click = [this](QAbstractButton* b, void (TfTalk::*handler)()) {
        connect(b, &QAbstractButton::clicked, this,
                [this, handler] { Guarded(FSession.get(), [&] { (this->*handler)(); }); });
    };
    click(btnConnect, &TfTalk::btnConnectClick);
    click(btnDisconnet, &TfTalk::btnDisconnetClick);
    click(btnSendMessage, &TfTalk::btnSendMessageClick);
    click(btnExit, &TfTalk::btnExitClick);
    click(btnClearReceived, &TfTalk::btnClearReceivedClick);
    click(btnClearSent, &TfTalk::btnClearSentClick);

    FSession = std::make_unique<TTalkSession>(static_cast<ITalkView&>(*this), InitialHost, Port);

    TFormLayout::CentreOnScreen(this);

    FormCreate();
}

TfTalk::~TfTalk() {
    FSession->Teardown();
    if (fTalk == this) fTalk = nullptr;
}

void TfTalk::FormCreate() {
    setWindowIcon(WindowIcon(QStringLiteral("Z_ICN_TALK")));
    FSession->Listen();
}

bool TfTalk::HandleFailure(QObject* Sender, const Exception& E, bool Retry) {
    return FSession && FSession->HandleFailure(Sender, E, Retry);
}

bool TfTalk::RetryArmed() const {
    return FSession && FSession->RetryArmed();
}

QString TfTalk::StatusText() const {
    return FStatusText->text();
}

void TfTalk::AddStatusLine(const std::string& Text, TTalkPane* Pane) {
    Pane->AppendLine(Text + "\r\n", true);
}

// ---- what the session shows

void TfTalk::ShowReceivedLine(std::string_view Bytes, bool Bold) {
    redReceived->AppendLine(Bytes, Bold);
}

void TfTalk::ShowStatus(const std::string& Text) {
    FStatusText->setText(DecodeForLine(Text));
}

void TfTalk::SessionOpened() {
    edSendText->setFocus();
}

void TfTalk::ShowError(const std::string& Text, const std::string& Caption) {
    FServices.MessageBoxes->Show(this, Text, Caption, TMsgIcon::Error, TMsgButtons::Ok);
}

void TfTalk::ReportPortFailure(const std::string& Message) {
    if (FServices.ReportFailure) FServices.ReportFailure(Message);
}

// ---- user commands

void TfTalk::btnConnectClick() {
    const QPointer<TfTalk> self(this);
    if (FSession->HasConnection()) {
        if (FServices.MessageBoxes->Show(this, "Close the current connection?", "Warning",
                                         TMsgIcon::Warning, TMsgButtons::YesNo) != TMsgResult::Yes)
            return;
        if (!self) return;
    }
    std::string host = FSession->RemoteHost();
    if (!FServices.InputBoxes ||
        !FServices.InputBoxes->InputQuery(this, "Connect to",
                                          "Name or direction of the remote machine:", host))
        return;
    if (!self) return;
    FSession->Connect(host);
}

void TfTalk::btnDisconnetClick() {
    FSession->Disconnect();
}

bool TfTalk::edSendTextKeyPress(int Key) {
    if (Key != '\r') return false;
    const QPointer<TfTalk> self(this);
    const std::string text = EncodeTyped(edSendText->text());
    if (!FSession->Send(text)) {
        AddStatusLine("Not connected", redSent);
        return false;
    }
    if (!self) return true;
    redSent->AppendLine(text, false);
    edSendText->clear();
    return true;
}

void TfTalk::btnSendMessageClick() {
    if (FServices.SendMessage) FServices.SendMessage();
}

void TfTalk::btnClearReceivedClick() {
    FSession->ClearReceived();
    redReceived->Clear();
}

void TfTalk::btnClearSentClick() {
    redSent->Clear();
}

void TfTalk::btnExitClick() {
    close();
}

// ---- closing

bool TfTalk::event(QEvent* Event) {
    // The status bar shows the hint of the control under the pointer.
    if (Event->type() == QEvent::StatusTip) {
        StatusBar->showMessage(static_cast<QStatusTipEvent*>(Event)->tip());
        return true;
    }
    return QWidget::event(Event);
}

bool TfTalk::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == edSendText && Event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(Event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            !(key->modifiers() & Qt::ControlModifier)) {
            bool consumed = false;
            Guarded(FSession.get(), [&] { consumed = edSendTextKeyPress('\r'); });
            return consumed;
        }
    }
    return QWidget::eventFilter(Watched, Event);
}

void TfTalk::closeEvent(QCloseEvent* Event) {
    // Deleted once the event being handled has returned (WA_DeleteOnClose).
    // Until then no handler of this window may run: the sockets close now,
    // without their events, and the peer sees the session end.
    Event->accept();
    FSession->Teardown();
    if (fTalk == this) fTalk = nullptr;
}
