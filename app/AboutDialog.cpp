// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AboutDialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/Artwork.h"
#include "app/DialogUnits.h"

namespace kestrane::app {

QString ShortVersion() {
    return QStringLiteral("V%1.%2").arg(KESTRANE_VERSION_MAJOR).arg(KESTRANE_VERSION_TWEAK);
}

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QString::fromLatin1(kProductName));
    setFont(DialogFont());
    const DialogUnits du(font());
    setFixedSize(du.Size(235, 55));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    const QRect iconRect = du.Rect(11, 17, 20, 20);
    icon->setGeometry(QRect(iconRect.topLeft(), QSize(32, 32)));
    icon->setPixmap(QPixmap::fromImage(DrawAppIcon(32)));

    auto* text = new QLabel(this);
    text->setObjectName(QStringLiteral("aboutText"));
    text->setTextFormat(Qt::PlainText);
    text->setText(QString::fromLatin1(kProductName) + QLatin1Char(' ') + ShortVersion());
    text->setGeometry(du.Rect(40, 10, 142, 18));
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("idOk"));
    ok->setGeometry(du.Rect(186, 7, 42, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace kestrane::app
