#include "ui/AutoResponse.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>

#include "platform/Exceptions.h"
#include "platform/TextCodec.h"
#include "store/MessageLog.h"
#include "ui/FormLayout.h"
#include "ui/TrayImages.h"

TfAutoResponse::TfAutoResponse(QWidget* Parent) : QDialog(Parent) {
    setObjectName(QStringLiteral("fAutoResponse"));
    setWindowTitle(QStringLiteral("Wexlo"));
    // A title bar without a close box or system menu.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(WindowIcon(QStringLiteral("MAINICON")));

    const TFormLayout layout({fontMetrics().height() / TFormLayout::LineHeight});
    layout.FixSize(this, ClientWidth, ClientHeight);

    lblResponse = new QLabel(QStringLiteral("Enter the auto-response message:"), this);
    lblResponse->setObjectName(QStringLiteral("lblResponse"));
    layout.PlaceLabel(lblResponse, 5, 5);

    mmMessage = new QPlainTextEdit(this);
    mmMessage->setObjectName(QStringLiteral("mmMessage"));
    mmMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmMessage->setTabChangesFocus(true);
    layout.Place(mmMessage, 5, 19, 431, 72);
    mmMessage->installEventFilter(this);

    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    layout.Place(btnOK, 188, 98, 75, 25);
    connect(btnOK, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnOKClick(); }); });

    setTabOrder(mmMessage, btnOK);
    mmMessage->setFocus();
    TFormLayout::CentreOnScreen(this);
}

TfAutoResponse::~TfAutoResponse() {
    // Released while still waiting: the wait must not outlive the window.
    if (FLoop) FLoop->quit();
}

std::string TfAutoResponse::AskResponse(const std::string& Initial) {
    FAnswered = false;
    FInitial = Initial;
    QStringList lines;
    for (const std::string& line : SplitLines(UpToNul(Initial))) lines << DecodeForScreen(line);
    mmMessage->setPlainText(lines.join(QLatin1Char('\n')));
    FInitialShown = mmMessage->toPlainText();
    mmMessage->selectAll();

    show();
    raise();
    activateWindow();
    mmMessage->setFocus();

    // One turn of a local loop: it ends at OK, or when the whole program is
    // told to end, which ends every loop; looping again then would spin.
    QEventLoop loop;
    FLoop = &loop;
    const QPointer<TfAutoResponse> self(this);
    if (!FAnswered) loop.exec();
    if (!self) return Initial;
    FLoop = nullptr;
    return Text();
}

void TfAutoResponse::EndWait() {
    btnOKClick();
}

void TfAutoResponse::btnOKClick() {
    FAnswered = true;
    if (FLoop) FLoop->quit();
}

std::string TfAutoResponse::Text() const {
    const QString shown = mmMessage->toPlainText();
    // Bytes the screen cannot show as they are (another code page, a control
    // character) survive as long as the user leaves the text alone.
    if (shown == FInitialShown) return FInitial;
    std::string joined;
    for (const char c : EncodeTyped(shown)) {
        if (c == '\n') joined += '\r';
        joined += c;
    }
    return joined;
}

bool TfAutoResponse::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == mmMessage && Event->type() == QEvent::KeyPress)
        return mmMessageKeyDown(static_cast<QKeyEvent*>(Event));
    return QDialog::eventFilter(Watched, Event);
}

bool TfAutoResponse::mmMessageKeyDown(QKeyEvent* Key) {
    const bool enter = Key->key() == Qt::Key_Return || Key->key() == Qt::Key_Enter;
    if (enter && (Key->modifiers() & Qt::ControlModifier)) {
        btnOK->click();
        return true;
    }
    return false;  // a plain Enter makes a new line
}

void TfAutoResponse::closeEvent(QCloseEvent* Event) {
    Event->ignore();
}

void TfAutoResponse::reject() {}
