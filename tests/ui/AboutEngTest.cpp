// The About window: its texts, its two links and the ways it closes.
#include <gtest/gtest.h>

#include <vector>

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "tests/support/TestSupport.h"
#include "ui/AboutEng.h"

namespace {

TEST(About, ShowsNameVersionMakerAndTermsThatFitTheirPlaces) {
    TfAbout about([](const QUrl&) { return true; });
    about.show();
    EXPECT_EQ(about.windowTitle(), "About");
    EXPECT_EQ(about.lblName->text(), "Wexlo - Messages sending utility");
    EXPECT_EQ(about.lblVersion->text(), "Version 1.5");
    EXPECT_TRUE(about.lblAuthor->text().contains("2001"));
    EXPECT_FALSE(about.lblAuthor->text().contains('%'));
    EXPECT_EQ(about.lblSendEMail->text(),
              "If you have any suggestion, you find a bug, etc.,  send me a e-mail!");
    // The licence and the home page are those the package states.
    const std::string metainfo =
        testsupport::ReadFile(testsupport::BuildDir() + "/dist/com.drelmosoft.wexlo.metainfo.xml");
    const auto tag = [&](const std::string& open) {
        const std::size_t start = metainfo.find(open) + open.size();
        return QString::fromStdString(metainfo.substr(start, metainfo.find('<', start) - start));
    };
    EXPECT_EQ(about.edWWW->text(), tag("<url type=\"homepage\">"));
    EXPECT_TRUE(about.lblInfo->text().contains(tag("<project_license>") + " License"));
    EXPECT_TRUE(about.edEmail->text().contains('@'));
    EXPECT_EQ(about.focusWidget(), about.edEmail);
    // At the font in use no text is cut off.
    for (QLabel* paragraph : {about.lblSendEMail, about.lblInfo, about.lblResponsibility}) {
        EXPECT_LE(paragraph->heightForWidth(paragraph->width()), paragraph->height())
            << paragraph->objectName().toStdString();
        EXPECT_LE(paragraph->geometry().bottom(), about.Cuadro->geometry().bottom());
    }
    for (QLineEdit* link : {about.edEmail, about.edWWW})
        EXPECT_LE(link->fontMetrics().horizontalAdvance(link->text()),
                  link->contentsRect().width() - link->textMargins().left() - 4)
            << link->objectName().toStdString();
    for (QLabel* label : {about.lblName, about.lblVersion, about.lblAuthor})
        EXPECT_LE(label->geometry().right(), about.Cuadro->geometry().right())
            << label->objectName().toStdString();
    // The link captions sit on their links' text line.
    for (auto [label, link] :
         {std::pair{about.lblEmail, about.edEmail}, {about.lblWWW, about.edWWW}})
        EXPECT_LE(std::abs(label->geometry().center().y() - link->geometry().center().y()), 1);
    // The whole window shows, in the middle of the screen.
    EXPECT_TRUE(about.rect().contains(about.btnAceptar->geometry()));
    const QPoint middle = about.screen()->availableGeometry().center();
    EXPECT_LE((about.geometry().center() - middle).manhattanLength(), 8);
}

TEST(About, LinksOpenWithTheDefaultHandlerAndAFailureIsIgnored) {
    for (const bool opens : {true, false}) {
        SCOPED_TRACE(opens ? "handler opens" : "handler fails");
        std::vector<QString> opened;
        TfAbout about([&](const QUrl& Url) {
            opened.push_back(Url.toString());
            return opens;
        });
        about.show();
        QTest::mouseClick(about.edEmail, Qt::LeftButton);
        QTest::mouseClick(about.edWWW, Qt::LeftButton);
        EXPECT_EQ(opened,
                  (std::vector<QString>{"mailto:" + about.edEmail->text(), about.edWWW->text()}));
        EXPECT_TRUE(about.isVisible());
    }
}

TEST(About, OkEnterEscAndTheCloseBoxDestroyIt) {
    struct Way {
        const char* name;
        void (*close)(TfAbout&);
    };
    const Way ways[] = {
        {"OK", [](TfAbout& a) { QTest::mouseClick(a.btnAceptar, Qt::LeftButton); }},
        {"Enter in a link", [](TfAbout& a) { QTest::keyClick(a.edEmail, Qt::Key_Return); }},
        {"Esc", [](TfAbout& a) { QTest::keyClick(a.edWWW, Qt::Key_Escape); }},
        {"close box", [](TfAbout& a) { a.close(); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        QPointer<TfAbout> about = new TfAbout([](const QUrl&) { return true; });
        about->show();
        way.close(*about);
        EXPECT_TRUE(testsupport::WaitUntil([&] { return about.isNull(); }));
    }
}

}  // namespace
