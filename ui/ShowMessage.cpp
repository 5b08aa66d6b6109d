#include "ui/ShowMessage.h"

#include <unistd.h>

#include <QCheckBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QStyle>

#include "platform/Exceptions.h"
#include "platform/FileDialogs.h"
#include "platform/TextCodec.h"
#include "platform/WindowStacking.h"
#include "ui/FormLayout.h"
#include "ui/TextViewer.h"

namespace {
std::string FileNameBytes(const QString& FileName) {
    return QFile::encodeName(FileName).toStdString();
}

// Replaces the file as a whole: a failed save leaves the old file untouched.
// The text comes in pieces, so a record of any size is never copied whole.
void WriteFileAtomically(const QString& FileName,
                         const std::function<bool(const TTextViewer::TWrite&)>& Produce) {
    QSaveFile file(FileName);
    bool ok = file.open(QIODevice::WriteOnly);
    ok = ok && Produce([&](std::string_view Data) {
        return file.write(Data.data(), qint64(Data.size())) == qint64(Data.size());
    });
    ok = ok && file.flush() && ::fsync(file.handle()) == 0;
    ok = ok && file.commit();
    if (!ok) {
        file.cancelWriting();
        throw Exception("Cannot create file " + FileNameBytes(FileName));
    }
}

// Qt reads "[*]" in a title as the modified-marker place; a peer's name may
// hold it, so it is doubled to show as it is.
QString LiteralTitle(QString Title) {
    return Title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}
}  // namespace

TfShowMessage::TfShowMessage(TFileDialogs& FileDialogs, TMessageWindowEvent OnDestroy)
    : QWidget(nullptr), FFileDialogs(FileDialogs), FOnDestroy(std::move(OnDestroy)) {
    setObjectName(QStringLiteral("fShowMessage"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    setFixedSize(442, 298);

    redMessage = new TTextViewer(this);
    redMessage->setObjectName(QStringLiteral("redMessage"));
    redMessage->setFrameShape(QFrame::NoFrame);
    redMessage->setGeometry(5, 5, 431, 251);

    cbSaveSelection = new QCheckBox(QStringLiteral("Save selection only"), this);
    cbSaveSelection->setObjectName(QStringLiteral("cbSaveSelection"));
    // These widths suit an 8-point font; larger fonts get room to the
    // right, where the window has it free.
    cbSaveSelection->setGeometry(5, 265, qMax(116, cbSaveSelection->sizeHint().width()), 17);

    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(183, 265, 75, 25);

    btnSave = new QPushButton(style()->standardIcon(QStyle::SP_DialogSaveButton),
                              QStringLiteral("&Save"), this);
    btnSave->setObjectName(QStringLiteral("btnSave"));
    btnSave->setGeometry(339, 265, 76, 26);

    lblAutoResponse = new QLabel(QStringLiteral("(Auto-response message sent)"), this);
    lblAutoResponse->setObjectName(QStringLiteral("lblAutoResponse"));
    lblAutoResponse->setTextFormat(Qt::PlainText);
    lblAutoResponse->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette caption = lblAutoResponse->palette();
    caption.setColor(QPalette::WindowText, palette().color(QPalette::Active, QPalette::Highlight));
    lblAutoResponse->setPalette(caption);
    {
        // The right edge stays put; a larger font grows the label leftwards.
        const QSize hint = lblAutoResponse->sizeHint();
        const int width = qMax(142, hint.width());
        lblAutoResponse->setGeometry(290 + 142 - width, 260, width, qMax(13, hint.height()));
    }
    lblAutoResponse->hide();

    setTabOrder(redMessage, cbSaveSelection);
    setTabOrder(cbSaveSelection, btnOK);
    setTabOrder(btnOK, btnSave);
    redMessage->setFocus();

    connect(btnOK, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnOKClick(); }); });
    connect(btnSave, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { btnSaveClick(); }); });

    TFormLayout::CentreOnScreen(this);
}

TfShowMessage::~TfShowMessage() {
    if (FOnDestroy) FOnDestroy(this);
}

void TfShowMessage::SetTitle(const std::string& Text) {
    setWindowTitle(LiteralTitle(QStringLiteral("Wexlo  -  ") + DecodeForLine(Text)));
}

void TfShowMessage::SetText(const std::string& Text) {
    redMessage->SetText(std::string(UpToNul(Text)));
}

void TfShowMessage::AddLines(const std::vector<std::string>& List) {
    for (const std::string& item : List) redMessage->AppendLines(UpToNul(item));
}

void TfShowMessage::LoadTextFile(const QString& FileName) {
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception("Cannot open file " + FileNameBytes(FileName));
    // Read straight into the buffer the viewer keeps: a large record is
    // copied once. The file may change size meanwhile; reading goes on to
    // its end.
    constexpr qint64 Step = 64 * 1024;
    const qint64 expected = qMax<qint64>(file.size(), 0);
    std::string bytes;
    bytes.reserve(size_t(expected + Step));
    bytes.resize(size_t(expected));
    qint64 got = 0;
    for (;;) {
        if (got == qint64(bytes.size())) bytes.resize(bytes.size() + Step);
        const qint64 read = file.read(bytes.data() + got, qint64(bytes.size()) - got);
        if (read < 0) throw Exception("Cannot open file " + FileNameBytes(FileName));
        if (read == 0) break;
        got += read;
    }
    bytes.resize(size_t(got));
    redMessage->SetText(std::move(bytes));
}

void TfShowMessage::ShowAlert(bool OnTop, bool AutoResponseSent) {
    FOnTop = OnTop;
    btnSave->hide();
    cbSaveSelection->hide();
    lblAutoResponse->setVisible(AutoResponseSent);
    SetKeepAbove(this, FOnTop);
    show();
}

void TfShowMessage::ShowViewer() {
    show();
}

void TfShowMessage::SetOnTop(bool OnTop) {
    FOnTop = OnTop;
    SetKeepAbove(this, OnTop);
}

void TfShowMessage::keyPressEvent(QKeyEvent* Event) {
    const bool enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
    if (Event->key() == Qt::Key_Escape && Event->modifiers() == Qt::NoModifier) {
        btnOK->click();
    } else if (enter && !(Event->modifiers() & ~Qt::KeypadModifier)) {
        // As in a dialog: Enter presses the focused button, else the default one.
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        (focused ? focused : btnOK)->click();
    } else {
        QWidget::keyPressEvent(Event);
    }
}

void TfShowMessage::btnOKClick() {
    close();
}

void TfShowMessage::btnSaveClick() {
    TFileDialogRequest request;
    request.Filter = QStringLiteral("Text file (*.txt);;All files (*)");
    // The dialog adds ".txt" to a name without an extension, and asks before
    // replacing a file under the name that will be written.
    request.DefaultSuffix = QStringLiteral("txt");
    request.ConfirmOverwrite = true;
    const QPointer<TfShowMessage> self(this);
    const std::optional<QString> chosen = FFileDialogs.SaveFileName(this, request);
    // The window may have been closed while the dialog was open.
    if (!self || !chosen || chosen->isEmpty()) return;

    const QString& fileName = *chosen;
    if (cbSaveSelection->isChecked() && redMessage->HasSelection()) {
        const std::string selected = redMessage->SelectedBytes() + "\r\n";
        WriteFileAtomically(fileName, [&](const TTextViewer::TWrite& Write) {
            return Write(selected);
        });
    } else {
        WriteFileAtomically(fileName, [&](const TTextViewer::TWrite& Write) {
            return redMessage->WriteContent(Write);
        });
    }
}
