#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <QStandardPaths>
#include <QXmlStreamReader>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// Everything an installation holds, relative to its prefix.
const std::vector<std::string> InstalledFiles = {
    "bin/wexlo",
    "bin/wexlo-send",
    "share/applications/wexlo.desktop",
    "share/doc/wexlo/changelog.gz",
    "share/doc/wexlo/copyright",
    "share/icons/hicolor/scalable/apps/wexlo.svg",
    "share/man/man1/wexlo-send.1.gz",
    "share/man/man1/wexlo.1.gz",
    "share/metainfo/com.drelmosoft.wexlo.metainfo.xml",
    "share/wexlo/message.wav",
};

using testsupport::RunProgram;
using testsupport::TRun;

QString Tool(const char* Name) {
    return QStandardPaths::findExecutable(QString::fromLatin1(Name));
}

// Regular files below Root, relative to it, sorted.
std::vector<std::string> FilesBelow(const fs::path& Root) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(Root))
        if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), Root).string());
    std::sort(files.begin(), files.end());
    return files;
}

// Installs the build below a fresh folder and returns the prefix. Only the
// default component is named: its manifest gets a name of its own, so the
// install_manifest.txt of a real installation is left alone.
fs::path InstallTree(const std::string& Name) {
    const fs::path prefix = fs::path(testsupport::TempDir()) / Name / "usr";
    const TRun install = RunProgram(
        WEXLO_CMAKE, {"--install", QString::fromStdString(testsupport::BuildDir()), "--prefix",
                      QString::fromStdString(prefix.string()), "--component", "Unspecified"});
    EXPECT_TRUE(install.finished && install.exitCode == 0) << install.out << install.err;
    return prefix;
}

// "Key=value" lines of a desktop entry's main group.
std::string DesktopKey(const std::string& Entry, const std::string& Key) {
    const std::string prefix = "\n" + Key + "=";
    const std::size_t at = ("\n" + Entry).find(prefix);
    if (at == std::string::npos) return {};
    const std::size_t start = at + prefix.size() - 1;
    return Entry.substr(start, Entry.find('\n', start) - start);
}

TEST(InstallTree, HoldsExactlyTheListedFiles) {
    const fs::path prefix = InstallTree("plain");
    EXPECT_EQ(FilesBelow(prefix), InstalledFiles);
    for (const char* program : {"bin/wexlo", "bin/wexlo-send"})
        EXPECT_NE(fs::status(prefix / program).permissions() & fs::perms::others_exec,
                  fs::perms::none)
            << program;

    // The installed programs run from there and find nothing of the build.
    const TRun version =
        RunProgram(QString::fromStdString((prefix / "bin/wexlo-send").string()), {"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, "wexlo-send " WEXLO_VERSION "\n");
}

TEST(InstallTree, MakeUninstallTakesAwayWhatTheInstallMadeAndNoMore) {
    const QString make = Tool("make");
    if (make.isEmpty()) GTEST_SKIP() << "make is not installed";
    const fs::path root = fs::path(testsupport::TempDir()) / "make-install";
    fs::remove_all(root);
    fs::create_directories(root / "usr/share/man");  // there before: it stays
    // The build folder's records of a real installation are put back after.
    const fs::path build = testsupport::BuildDir();
    for (const char* record : {"install_manifest.txt", "install_folders.txt"})
        if (fs::exists(build / record))
            fs::copy_file(build / record, root / record);
    const QStringList args = {"-s", "-C", WEXLO_SOURCE_DIR, "-o", "build",
                              QString::fromStdString("BUILD=" + build.string()),
                              QString::fromStdString("PREFIX=" + (root / "usr").string())};
    const TRun install = RunProgram(make, args + QStringList{"install"});
    EXPECT_EQ(install.exitCode, 0) << install.out << install.err;
    EXPECT_EQ(FilesBelow(root / "usr"), InstalledFiles);
    const TRun uninstall = RunProgram(make, args + QStringList{"uninstall"});
    EXPECT_EQ(uninstall.exitCode, 0) << uninstall.out << uninstall.err;
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(root / "usr"))
        left.push_back(fs::relative(entry.path(), root / "usr").string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"share", "share/man"}));
    for (const char* record : {"install_manifest.txt", "install_folders.txt"}) {
        fs::remove(build / record);
        if (fs::exists(root / record)) fs::copy_file(root / record, build / record);
    }
}

TEST(InstallTree, DesktopFilesAgreeAndValidate) {
    const fs::path prefix = InstallTree("desktop");
    const std::string desktop = (prefix / "share/applications/wexlo.desktop").string();
    const std::string metainfo =
        (prefix / "share/metainfo/com.drelmosoft.wexlo.metainfo.xml").string();
    const std::string entry = testsupport::ReadFile(desktop);

    // The menu finds the program, its icon and its metadata by these names.
    EXPECT_EQ(DesktopKey(entry, "Exec"), "wexlo");
    EXPECT_TRUE(fs::exists(prefix / "bin" / DesktopKey(entry, "Exec")));
    EXPECT_TRUE(fs::exists(prefix / "share/icons/hicolor/scalable/apps" /
                           (DesktopKey(entry, "Icon") + ".svg")));
    EXPECT_EQ(DesktopKey(entry, "NoDisplay"), "");
    EXPECT_EQ(DesktopKey(entry, "Categories"), "Network;InstantMessaging;");
    EXPECT_NE(testsupport::ReadFile(metainfo).find(
                  "<launchable type=\"desktop-id\">wexlo.desktop</launchable>"),
              std::string::npos);

    // The icon is well-formed SVG with a square drawing area.
    QXmlStreamReader svg(QByteArray::fromStdString(
        testsupport::ReadFile((prefix / "share/icons/hicolor/scalable/apps/wexlo.svg").string())));
    while (!svg.atEnd() && !svg.isStartElement()) svg.readNext();
    EXPECT_EQ(svg.name(), QLatin1String("svg"));
    EXPECT_EQ(svg.attributes().value("viewBox"), QLatin1String("0 0 32 32"));
    while (!svg.atEnd()) svg.readNext();
    EXPECT_FALSE(svg.hasError()) << svg.errorString().toStdString();

    struct Check {
        const char* tool;
        QStringList args;
    } const checks[] = {
        {"desktop-file-validate", {QString::fromStdString(desktop)}},
        {"appstreamcli", {"validate", "--no-net", "--pedantic", QString::fromStdString(metainfo)}},
    };
    std::string missing;
    for (const Check& check : checks) {
        const QString tool = Tool(check.tool);
        if (tool.isEmpty()) {
            missing += std::string(" ") + check.tool;
            continue;
        }
        const TRun run = RunProgram(tool, check.args);
        EXPECT_EQ(run.exitCode, 0) << check.tool << ":\n" << run.out << run.err;
        // Warnings fail the check too; hints about optional extras do not.
        EXPECT_EQ(run.out.find("W:"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("E:"), std::string::npos) << run.out;
    }
    if (!missing.empty()) GTEST_SKIP() << "not installed:" << missing;
}

TEST(InstallTree, ManualPagesFormatWithoutWarnings) {
    const QString groff = Tool("groff");
    if (groff.isEmpty()) GTEST_SKIP() << "groff is not installed";
    const fs::path prefix = InstallTree("man");
    for (const char* page : {"wexlo.1.gz", "wexlo-send.1.gz"}) {
        SCOPED_TRACE(page);
        const fs::path path = prefix / "share/man/man1" / page;
        const TRun unpacked = RunProgram("gzip", {"-dc", QString::fromStdString(path.string())});
        ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
        const fs::path plain = (fs::path(testsupport::TempDir()) / page).replace_extension();
        testsupport::WriteFile(plain.string(), unpacked.out);
        const TRun format = RunProgram(
            groff, {"-man", "-Tutf8", "-ww", "-z", QString::fromStdString(plain.string())});
        EXPECT_EQ(format.exitCode, 0);
        EXPECT_EQ(format.err, "");
    }
}

TEST(Package, DebianPackageInstallsAndRuns) {
    const QString dpkgDeb = Tool("dpkg-deb");
    if (dpkgDeb.isEmpty() || Tool("dpkg-shlibdeps").isEmpty())
        GTEST_SKIP() << "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed";
    const fs::path out = fs::path(testsupport::TempDir()) / "package";
    const TRun cpack = RunProgram(
        WEXLO_CPACK,
        {"--config", QString::fromStdString(testsupport::BuildDir() + "/CPackConfig.cmake"), "-B",
         QString::fromStdString(out.string())},
        {}, 240000);
    ASSERT_TRUE(cpack.finished && cpack.exitCode == 0) << cpack.out << cpack.err;
    std::vector<fs::path> debs;
    for (const auto& entry : fs::directory_iterator(out))
        if (entry.path().extension() == ".deb") debs.push_back(entry.path());
    ASSERT_EQ(debs.size(), 1u);
    const QString deb = QString::fromStdString(debs.front().string());

    const TRun depends = RunProgram(dpkgDeb, {"-f", deb, "Depends"});
    for (const char* package : {"libc6", "libqt6core6", "libqt6widgets6", "libqt6dbus6",
                                "libcanberra0", "libxcb1", "qt6-qpa-plugins"})
        EXPECT_NE(depends.out.find(package), std::string::npos) << package << " in " << depends.out;
    const TRun name = RunProgram(dpkgDeb, {"-f", deb, "Package", "Version"});
    EXPECT_EQ(name.out, "Package: wexlo\nVersion: " WEXLO_VERSION "\n");

    const fs::path root = fs::path(testsupport::TempDir()) / "root";
    const TRun unpack = RunProgram(dpkgDeb, {"-x", deb, QString::fromStdString(root.string())});
    ASSERT_EQ(unpack.exitCode, 0) << unpack.err;
    EXPECT_EQ(FilesBelow(root / "usr"), InstalledFiles);
    const TRun version =
        RunProgram(QString::fromStdString((root / "usr/bin/wexlo-send").string()), {"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, "wexlo-send " WEXLO_VERSION "\n");

    // Lintian's verdict, every tag shown; errors and warnings fail.
    const QString lintian = Tool("lintian");
    if (lintian.isEmpty()) GTEST_SKIP() << "lintian is not installed";
    const TRun lint = RunProgram(lintian, {"--pedantic", "--display-info", deb}, {}, 240000);
    std::cout << "lintian:\n" << lint.out;
    EXPECT_TRUE(lint.finished) << lint.err;
    for (const char* severity : {"\nE: ", "\nW: "})
        EXPECT_EQ(("\n" + lint.out).find(severity), std::string::npos) << lint.out;
}

}  // namespace
