#include "ui/AboutEng.h"

#include <algorithm>

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>

#include "platform/Exceptions.h"
#include "platform/MessageBox.h"
#include "ui/FormLayout.h"
#include "ui/TrayImages.h"

namespace {
constexpr int VersionMajor = 1;
constexpr int VersionMinor = 5;
const char* const VersionRelease = "";
const char* const Year = "2001";

// The year runs up to that of LICENSE's notice.
const char* const MakerLine = "Copyright (C) %s-2026 Drelmo Soft";
// The package's contact and home page, set by the build.
const char* const Email = WEXLO_CONTACT_EMAIL;
const char* const Web = WEXLO_HOMEPAGE_URL;
const char* const SendEmail =
    "If you have any suggestion, you find a bug, etc.,  send me a e-mail!";
const char* const Terms =
    "Wexlo is free software under the MIT License: you may use, copy, change, pass on "
    "and sell copies of it, as long as the copyright notice and the permission notice "
    "go with every copy.";
const char* const Disclaimer =
    "Wexlo comes as it is, without warranty of any kind. Drelmo Soft is not liable for "
    "any loss or damage that comes from using it, or from messages it did or did not "
    "deliver.";

// The one-line room of the 8-point font the layout was made for; a larger
// font scales the whole window.
constexpr double SendEmailRoom = 344.0;
// The room for text in a link edit of the layout (168 wide, less its frame
// and margins).
constexpr double LinkRoom = 158.0;

QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Text) {
    auto* label = new QLabel(Text, Parent);
    label->setObjectName(QLatin1String(Name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A read-only edit that looks and acts like a link.
QLineEdit* MakeLink(QWidget* Parent, const char* Name, const char* Text) {
    auto* edit = new QLineEdit(QString::fromUtf8(Text), Parent);
    edit->setObjectName(QLatin1String(Name));
    edit->setReadOnly(true);
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    palette.setColor(QPalette::Text, palette.color(QPalette::Active, QPalette::Highlight));
    edit->setPalette(palette);
    QFont font = edit->font();
    font.setUnderline(true);
    edit->setFont(font);
    edit->setCursor(Qt::PointingHandCursor);
    edit->setCursorPosition(0);  // the address shows from its start
    return edit;
}
}  // namespace

TfAbout::TfAbout(TOpenUrl OpenUrl, QWidget* Parent)
    : QDialog(Parent), FOpenUrl(std::move(OpenUrl)) {
    if (!FOpenUrl) FOpenUrl = [](const QUrl& Url) { return QDesktopServices::openUrl(Url); };
    setObjectName(QStringLiteral("fAbout"));
    setWindowTitle(QStringLiteral("About"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    const QIcon icon = WindowIcon(QStringLiteral("MAINICON"));
    setWindowIcon(icon);

    const QFontMetrics metrics = fontMetrics();
    const TFormLayout layout(
        {metrics.height() / TFormLayout::LineHeight,
         (metrics.horizontalAdvance(QString::fromUtf8(SendEmail)) + 4) / SendEmailRoom,
         std::max(metrics.horizontalAdvance(QString::fromUtf8(Email)),
                  metrics.horizontalAdvance(QString::fromUtf8(Web))) /
             LinkRoom});
    layout.FixSize(this, ClientWidth, ClientHeight);

    Cuadro = new QFrame(this);
    Cuadro->setObjectName(QStringLiteral("Cuadro"));
    Cuadro->setFrameStyle(QFrame::Box | QFrame::Sunken);
    layout.Place(Cuadro, 10, 10, 373, 256);

    imgIcon = new QLabel(this);
    imgIcon->setObjectName(QStringLiteral("imgIcon"));
    imgIcon->setPixmap(icon.pixmap(32, 32));
    imgIcon->setGeometry(layout.At(25), layout.At(20), 32, 32);

    lblName = MakeLabel(this, "lblName", QString::fromStdString(Caption::AppTitle));
    QFont bold = lblName->font();
    bold.setBold(true);
    lblName->setFont(bold);
    layout.PlaceLabel(lblName, 70, 20);
    lblVersion =
        MakeLabel(this, "lblVersion",
                  QString::asprintf("Version %d.%d%s", VersionMajor, VersionMinor, VersionRelease));
    layout.PlaceLabel(lblVersion, 70, 40);
    lblAuthor = MakeLabel(this, "lblAuthor", QString::asprintf(MakerLine, Year));
    layout.PlaceLabel(lblAuthor, 25, 65);

    lblEmail = MakeLabel(this, "lblEmail", QStringLiteral("E-mail:"));
    layout.PlaceLabel(lblEmail, 90, 95);
    edEmail = MakeLink(this, "edEmail", Email);
    layout.Place(edEmail, 135, 92, 168, 21);
    lblWWW = MakeLabel(this, "lblWWW", QStringLiteral("WWW:"));
    layout.PlaceLabel(lblWWW, 90, 115);
    edWWW = MakeLink(this, "edWWW", Web);
    layout.Place(edWWW, 135, 112, 168, 21);
    // The labels sit on the edits' text line.
    for (auto [label, edit] : {std::pair{lblEmail, edEmail}, std::pair{lblWWW, edWWW}})
        label->move(label->x(), edit->y() + (edit->height() - label->height()) / 2);

    lblSendEMail = MakeLabel(this, "lblSendEMail", QString::fromUtf8(SendEmail));
    lblInfo = MakeLabel(this, "lblInfo", QString::fromUtf8(Terms));
    lblResponsibility = MakeLabel(this, "lblResponsibility", QString::fromUtf8(Disclaimer));
    for (QLabel* paragraph : {lblSendEMail, lblInfo, lblResponsibility}) {
        paragraph->setWordWrap(true);
        paragraph->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    layout.Place(lblSendEMail, 27, 140, 344, 13);
    layout.Place(lblInfo, 27, 160, 344, 52);
    layout.Place(lblResponsibility, 27, 217, 344, 39);

    btnAceptar = new QPushButton(QStringLiteral("&OK"), this);
    btnAceptar->setObjectName(QStringLiteral("btnAceptar"));
    btnAceptar->setDefault(true);
    layout.Place(btnAceptar, 158, 275, 75, 25);
    connect(btnAceptar, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnAceptarClick(); }); });

    for (QLineEdit* link : {edEmail, edWWW}) link->installEventFilter(this);
    setTabOrder(btnAceptar, edEmail);
    setTabOrder(edEmail, edWWW);

    TFormLayout::CentreOnScreen(this);
}

void TfAbout::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    edEmail->setFocus();
}

bool TfAbout::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton) {
        if (Watched == edEmail) Guarded(this, [this] { edEmailClick(); });
        if (Watched == edWWW) Guarded(this, [this] { edWWWClick(); });
    }
    return QDialog::eventFilter(Watched, Event);
}

// A link that cannot be opened is left alone; nothing is shown.
void TfAbout::edEmailClick() {
    FOpenUrl(QUrl(QStringLiteral("mailto:") + edEmail->text()));
}

void TfAbout::edWWWClick() {
    FOpenUrl(QUrl(edWWW->text()));
}

void TfAbout::btnAceptarClick() {
    close();
}

// Closing destroys the window. QDialog would turn a close into a reject,
// which here closes again.
void TfAbout::closeEvent(QCloseEvent* Event) {
    Event->accept();
}

// Enter and Esc close the window as OK does.
void TfAbout::accept() {
    close();
}

void TfAbout::reject() {
    close();
}
