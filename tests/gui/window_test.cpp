// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as it opens and its small commands: layout, initial state,
// proxy boxes, Browse, Help, About, keys and the shaped picture.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include "app/AboutDialog.h"
#include "app/Artwork.h"
#include "app/DialogUnits.h"
#include "app/HelpPage.h"
#include "tests/gui/GuiHarness.h"

namespace kestrane::test {
namespace {

class WindowTest : public ::testing::Test {
  protected:
    WindowTest() : dialog(TestOptions(boxes, desktop)) {}
    BoxAnswers boxes;
    Desktop desktop;
    app::MainDialog dialog;
};

TEST_F(WindowTest, OpensIdleWithTheTemplateTexts) {
    EXPECT_EQ(dialog.windowTitle(), "Kestrane");
    EXPECT_EQ(Control<QPushButton>(dialog, "idOk")->text(), "Download");
    EXPECT_TRUE(Control<QPushButton>(dialog, "idOk")->isDefault());
    EXPECT_EQ(Control<QPushButton>(dialog, "close1005")->text(), "Close");
    EXPECT_EQ(Control<QPushButton>(dialog, "browse1001")->text(), "Browse");
    EXPECT_EQ(Control<QGroupBox>(dialog, "inputPatents")->title(), "Input Patents");
    EXPECT_EQ(Control<QLabel>(dialog, "example1011")->text(),
              "Example:\nDE19758096C2\nDE60218500T2\nDE102006026208A1");
    EXPECT_EQ(Control<QLabel>(dialog, "help1012")->text(), "Help");

    // The save folder starts as the current directory; the proxy is off and
    // its boxes are empty and greyed.
    EXPECT_EQ(Control<QLineEdit>(dialog, "saveFolder1000")->text(), QDir::currentPath());
    auto* useProxy = Control<QCheckBox>(dialog, "useProxy1002");
    EXPECT_EQ(useProxy->text(), "Proxy Server");
    EXPECT_FALSE(useProxy->isChecked());
    for (const char* name : {"proxyIp1003", "proxyPort1004"}) {
        auto* box = Control<QLineEdit>(dialog, name);
        EXPECT_TRUE(box->text().isEmpty()) << name;
        EXPECT_FALSE(box->isEnabled()) << name;
    }
    EXPECT_TRUE(Control<QLabel>(dialog, "status1006")->text().isEmpty());
    EXPECT_EQ(Control<QProgressBar>(dialog, "progress1008")->value(), 0);
    EXPECT_TRUE(Control<QTextEdit>(dialog, "patentList1009")->toPlainText().isEmpty());
    EXPECT_FALSE(dialog.Run().IsDownloading());
}

TEST_F(WindowTest, IsLaidOutInDialogUnitsOfItsFontAndCannotBeResized) {
    const app::DialogUnits du(dialog.font());
    EXPECT_EQ(dialog.size(), du.Size(app::kTemplateWidth, app::kTemplateHeight));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    // Every control at its place; a static text only ever grows to the right.
    for (const app::TemplatePlace& place : app::kTemplatePlaces) {
        const QRect rect = du.Rect(place.X, place.Y, place.Width, place.Height);
        const QRect shown = Control<QWidget>(dialog, place.Name)->geometry();
        EXPECT_EQ(shown.topLeft(), rect.topLeft()) << place.Name;
        EXPECT_EQ(shown.height(), rect.height()) << place.Name;
        EXPECT_TRUE(place.Text ? shown.width() >= rect.width() : shown.width() == rect.width())
            << place.Name;
    }

    // The shaped picture keeps its place beside the controls: it covers none of them.
    auto* picture = Control<QLabel>(dialog, "picture134");
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->size(), QSize(app::kLampWidth, app::kLampHeight));
    EXPECT_TRUE(dialog.rect().contains(picture->geometry()));
    for (const char* name :
         {"idOk", "close1005", "saveFolder1000", "browse1001", "useProxy1002", "proxyIp1003",
          "proxyPort1004", "patentList1009", "example1011", "help1012", "progress1008"}) {
        EXPECT_FALSE(picture->geometry().intersects(Control<QWidget>(dialog, name)->geometry()))
            << name;
    }
}

TEST_F(WindowTest, PictureIsALampWithItsMagentaCutOut) {
    const QImage lamp = app::DrawLampPicture();
    ASSERT_EQ(lamp.size(), QSize(118, 202));
    // Corners are background; the bulb's glass and the screw base are drawn.
    EXPECT_EQ(lamp.pixel(0, 0), app::kTransparentKey);
    EXPECT_EQ(lamp.pixel(117, 201), app::kTransparentKey);
    EXPECT_NE(lamp.pixel(59, 30), app::kTransparentKey);
    EXPECT_NE(lamp.pixel(59, 150), app::kTransparentKey);

    auto* picture = Control<QLabel>(dialog, "picture134");
    ASSERT_NE(picture, nullptr);
    const QRegion shape = picture->mask();
    int keyed = 0;
    for (int y = 0; y < lamp.height(); ++y) {
        for (int x = 0; x < lamp.width(); ++x) {
            const bool cut = lamp.pixel(x, y) == app::kTransparentKey;
            keyed += cut ? 1 : 0;
            ASSERT_EQ(shape.contains(QPoint(x, y)), !cut) << x << "," << y;
        }
    }
    // Both parts are substantial: a real shape, not all or nothing.
    EXPECT_GT(keyed, lamp.width() * lamp.height() / 4);
    EXPECT_LT(keyed, lamp.width() * lamp.height() * 3 / 4);
}

TEST_F(WindowTest, ProxyTickBoxGreysBothBoxesAndKeepsTheirText) {
    auto* useProxy = Control<QCheckBox>(dialog, "useProxy1002");
    auto* ip = Control<QLineEdit>(dialog, "proxyIp1003");
    auto* port = Control<QLineEdit>(dialog, "proxyPort1004");
    dialog.show();

    QTest::mouseClick(useProxy, Qt::LeftButton);
    EXPECT_TRUE(ip->isEnabled());
    EXPECT_TRUE(port->isEnabled());
    ip->setText("10.0.0.8");
    port->setText("3128");

    QTest::mouseClick(useProxy, Qt::LeftButton);
    EXPECT_FALSE(ip->isEnabled());
    EXPECT_FALSE(port->isEnabled());
    EXPECT_EQ(ip->text(), "10.0.0.8");
    EXPECT_EQ(port->text(), "3128");
}

TEST_F(WindowTest, BrowseTakesAChosenFolderAndKeepsTheTextWhenCancelled) {
    auto* folder = Control<QLineEdit>(dialog, "saveFolder1000");
    folder->setText("/kept/as/typed");
    dialog.show();

    desktop.NextFolder.clear();  // the user cancels the picker
    QTest::mouseClick(Control<QPushButton>(dialog, "browse1001"), Qt::LeftButton);
    EXPECT_EQ(folder->text(), "/kept/as/typed");

    desktop.NextFolder = "/home/user/Patents";
    QTest::mouseClick(Control<QPushButton>(dialog, "browse1001"), Qt::LeftButton);
    EXPECT_EQ(folder->text(), "/home/user/Patents");

    ASSERT_EQ(desktop.PickerTitles.size(), 2u);
    EXPECT_EQ(desktop.PickerTitles[0], "Choose a path to save documents.");
}

TEST_F(WindowTest, HelpIsABoldBlueLinkThatOpensTheUserGuide) {
    auto* help = Control<QLabel>(dialog, "help1012");
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->font().bold());
    EXPECT_EQ(help->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(help->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(Control<QWidget>(dialog, "example1011")->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(Control<QWidget>(dialog, "idOk")->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(dialog.cursor().shape(), Qt::ArrowCursor);

    dialog.show();
    QTest::mouseClick(help, Qt::LeftButton);
    ASSERT_EQ(desktop.Opened.size(), 1u);
    // The guide that ships with the program: here the build tree's copy.
    ASSERT_TRUE(desktop.Opened[0].isLocalFile()) << desktop.Opened[0].toString().toStdString();
    QFile guide(desktop.Opened[0].toLocalFile());
    ASSERT_TRUE(guide.open(QIODevice::ReadOnly)) << guide.fileName().toStdString();
    const QByteArray page = guide.readAll();
    EXPECT_TRUE(page.contains("<title>Kestrane user guide</title>"));
    for (const char* section : {"id=\"window\"", "id=\"cli\"", "id=\"sources\"", "dl.log",
                                "id=\"troubleshooting\"", "KESTRANE_OPS_KEY"}) {
        EXPECT_TRUE(page.contains(section)) << section;
    }

    // A right click is not a click on the link.
    QTest::mouseClick(help, Qt::RightButton);
    EXPECT_EQ(desktop.Opened.size(), 1u);

    // From the keyboard: Enter or Space on the link (not the Download
    // command), and F1 from any control.
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    help->setFocus();
    QTest::keyClick(help, Qt::Key_Return);
    QTest::keyClick(help, Qt::Key_Space);
    QTest::keyClick(Control<QWidget>(dialog, "saveFolder1000"), Qt::Key_F1);
    EXPECT_EQ(desktop.Opened.size(), 4u);
    EXPECT_TRUE(boxes.Shown().empty()) << boxes.Texts().join('|').toStdString();

    // Without a browser the user learns where the guide is.
    desktop.NoBrowser = true;
    QTest::mouseClick(help, Qt::LeftButton);
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_TRUE(boxes.Shown()[0].Text.contains(desktop.Opened.back().toLocalFile()))
        << boxes.Shown()[0].Text.toStdString();
}

TEST(HelpPage, IsFoundBesideTheProgramUnderAnyPrefixFirst) {
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    const QString bin = prefix.path() + "/bin";
    const QString guide = prefix.path() + "/share/doc/kestrane/index.html";
    ASSERT_TRUE(QDir().mkpath(bin));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(guide).path()));
    // Not there yet: another place of the guide, never the web.
    EXPECT_NE(app::HelpPageUrl(bin), QUrl::fromLocalFile(guide));
    EXPECT_TRUE(app::HelpPageUrl(bin).isLocalFile());
    QFile file(guide);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_EQ(app::HelpPageUrl(bin), QUrl::fromLocalFile(guide));
}

TEST_F(WindowTest, ContextMenuOffersTheAboutBox) {
    EXPECT_EQ(dialog.contextMenuPolicy(), Qt::ActionsContextMenu);
    auto* about = dialog.findChild<QAction*>("aboutAction");
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(dialog.actions().contains(about));
    EXPECT_EQ(about->text(), "About Kestrane(&A)...");

    QString text;
    bool hasIcon = false;
    QString okText;
    app::ModalHook recorder = boxes.Hook();
    // Look inside the About box while it is up.
    app::MainDialogOptions options = TestOptions(boxes, desktop);
    options.Modal = [&](QDialog& shown) -> std::optional<int> {
        if (auto* label = shown.findChild<QLabel*>("aboutText"))
            text = label->text();
        if (auto* icon = shown.findChild<QLabel*>("aboutIcon"))
            hasIcon = !icon->pixmap().isNull();
        if (auto* ok = shown.findChild<QPushButton*>("idOk"))
            okText = ok->text();
        return recorder(shown);
    };
    app::MainDialog window(options);
    window.findChild<QAction*>("aboutAction")->trigger();

    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].Title, "Kestrane");
    EXPECT_FALSE(boxes.Shown()[0].IsMessageBox);
    EXPECT_EQ(text, "Kestrane V1.5");
    EXPECT_TRUE(hasIcon);
    EXPECT_EQ(okText, "OK");
}

TEST_F(WindowTest, TabOrderFollowsTheTemplate) {
    dialog.show();
    QWidget* first = Control<QWidget>(dialog, "idOk");
    const std::vector<const char*> order = {"close1005",      "saveFolder1000", "browse1001",
                                            "useProxy1002",   "proxyIp1003",    "proxyPort1004",
                                            "patentList1009", "help1012",       "idOk"};
    // The proxy boxes take focus only when enabled.
    Control<QCheckBox>(dialog, "useProxy1002")->setChecked(true);
    QWidget* at = first;
    for (const char* name : order) {
        at = at->nextInFocusChain();
        while (at->focusPolicy() == Qt::NoFocus || !at->isEnabled() || !at->isVisible()) {
            at = at->nextInFocusChain();
        }
        EXPECT_EQ(at->objectName(), name);
    }
}

TEST_F(WindowTest, EnterStartsANewLineInTheListAndPressesDownloadInOneLineBoxes) {
    dialog.show();
    auto* list = Control<QTextEdit>(dialog, "patentList1009");
    list->setFocus();
    QTest::keyClicks(list, "DE19758096C2");
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClicks(list, "DE60218500T2");
    EXPECT_EQ(list->toPlainText(), "DE19758096C2\nDE60218500T2");
    EXPECT_TRUE(boxes.Shown().empty());

    // Enter in the save folder box is the Download command: the empty folder
    // is refused with its message.
    auto* folder = Control<QLineEdit>(dialog, "saveFolder1000");
    folder->clear();
    folder->setFocus();
    QTest::keyClick(folder, Qt::Key_Return);
    EXPECT_EQ(boxes.Texts(), QStringList{"Please choose a path to keep documents."});
}

TEST_F(WindowTest, CloseWhileIdleAsksNothing) {
    dialog.show();
    QTest::mouseClick(Control<QPushButton>(dialog, "close1005"), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST(AppIcon, IsDrawnAtEverySizeWithATransparentMargin) {
    for (int size : {16, 32, 128}) {
        const QImage icon = app::DrawAppIcon(size);
        EXPECT_EQ(icon.size(), QSize(size, size));
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(icon.pixel(size / 2, size / 2)), 255);
    }
    EXPECT_FALSE(app::AppIcon().availableSizes().isEmpty());
}

}  // namespace
}  // namespace kestrane::test
