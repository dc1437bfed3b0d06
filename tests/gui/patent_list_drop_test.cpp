// SPDX-License-Identifier: GPL-3.0-or-later
// Dropping text files and text onto the patent list.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QUrl>
#include <memory>

#include "app/PatentListDrop.h"
#include "tests/gui/GuiHarness.h"

namespace kestrane::test {
namespace {

class PatentListDropTest : public ::testing::Test {
  protected:
    PatentListDropTest() : dialog(TestOptions(boxes, desktop)) {
        list = Control<QTextEdit>(dialog, "patentList1009");
        dialog.show();
    }

    QString File(const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    }

    // Drags data over the list and drops it, as the desktop does; true when
    // the list took it.
    bool Drop(std::unique_ptr<QMimeData> data) {
        QWidget* target = list->viewport();
        const QPointF middle = QRectF(target->rect()).center();
        QDragEnterEvent enter(middle.toPoint(), Qt::CopyAction, data.get(), Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(middle, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &drop);
        return drop.isAccepted();
    }

    static std::unique_ptr<QMimeData> Files(const QList<QUrl>& urls) {
        auto data = std::make_unique<QMimeData>();
        data->setUrls(urls);
        // File browsers send the addresses as text too; the files' lines win.
        data->setText(urls.first().toString());
        return data;
    }

    BoxAnswers boxes;
    Desktop desktop;
    app::MainDialog dialog;
    QTextEdit* list = nullptr;
    QTemporaryDir dir;
};

TEST_F(PatentListDropTest, FilesAndTextAddTheirLinesBelowWhatIsTyped) {
    list->setPlainText("DE19758096C2");
    // As a Windows editor saves it: byte-order mark, CR LF, blank lines, blanks.
    const QString windows = File("numbers.txt",
                                 "\xEF\xBB\xBF"
                                 "DE60218500T2\r\n\r\n  DE102006026208A1  \r\n");
    const QString second = File("more.lst", "EP1389012B1");
    EXPECT_TRUE(Drop(Files({QUrl::fromLocalFile(windows), QUrl::fromLocalFile(second)})));
    EXPECT_EQ(list->toPlainText(), "DE19758096C2\nDE60218500T2\nDE102006026208A1\nEP1389012B1");

    auto text = std::make_unique<QMimeData>();
    text->setText("DE1NOMATCH\n\nDE4");
    EXPECT_TRUE(Drop(std::move(text)));
    EXPECT_EQ(list->toPlainText(),
              "DE19758096C2\nDE60218500T2\nDE102006026208A1\nEP1389012B1\nDE1NOMATCH\nDE4");
    // Dropped lines arrive uncoloured, whatever the line above them shows.
    EXPECT_EQ(LineColour(*list, 5), "none");
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(PatentListDropTest, WhatIsNotATextFileOfNumbersLeavesTheListAsItWas) {
    list->setPlainText("DE19758096C2\n");
    const QString binary = File("scan.pdf", QByteArray("%PDF-1.4\n\0\0\xff", 12));
    const QString latin1 = File("latin1.txt", "DE19758096C2 \xe4\n");
    const QString large = File("large.txt", QByteArray(app::kMaxDroppedFileBytes + 1, 'D'));
    for (const QString& path : {binary, latin1, large, dir.filePath("missing.txt")}) {
        EXPECT_FALSE(Drop(Files({QUrl::fromLocalFile(path)}))) << path.toStdString();
    }
    EXPECT_FALSE(Drop(std::make_unique<QMimeData>()));
    EXPECT_EQ(list->toPlainText(), "DE19758096C2\n");

    // A trailing line break is kept as the start of the new line.
    EXPECT_TRUE(Drop(Files({QUrl::fromLocalFile(File("one.txt", "DE60218500T2"))})));
    EXPECT_EQ(list->toPlainText(), "DE19758096C2\nDE60218500T2");
}

}  // namespace
}  // namespace kestrane::test
