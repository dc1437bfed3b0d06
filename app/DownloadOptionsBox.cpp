// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/DownloadOptionsBox.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLineEdit>

#include "client/NameFormat.h"
#include "client/sources/Registry.h"

namespace kestrane::app {

DownloadOptionsBox::DownloadOptionsBox(QWidget* parent)
    : QGroupBox(QStringLiteral("Downloads"), parent) {
    setObjectName(QStringLiteral("downloadOptions"));
    resume_ = new QCheckBox(
        QStringLiteral("Keep the pages of unfinished documents and resume them"), this);
    resume_->setObjectName(QStringLiteral("resume"));
    report_ = new QCheckBox(QStringLiteral("Write report.csv beside dl.log"), this);
    report_->setObjectName(QStringLiteral("report"));
    QString biblio = QStringLiteral("Read titles, applicants and classes");
    if (const std::string cost = sources::BiblioCostText("one request more each"); !cost.empty())
        biblio += QStringLiteral(" (%1)").arg(QString::fromStdString(cost));
    biblio_ = new QCheckBox(biblio, this);
    biblio_->setObjectName(QStringLiteral("biblio"));
    nameFormat_ = new QLineEdit(this);
    nameFormat_->setObjectName(QStringLiteral("nameFormat"));
    nameFormat_->setPlaceholderText(QStringLiteral("{number}"));
    nameFormat_->setToolTip(
        QStringLiteral("{number} {compact} {country} {kind} {title} {date} {applicant}"));
    auto* form = new QFormLayout(this);
    form->addRow(resume_);
    form->addRow(report_);
    form->addRow(biblio_);
    form->addRow(QStringLiteral("File names"), nameFormat_);
}

void DownloadOptionsBox::Load(const DownloadSettings& settings) {
    resume_->setChecked(settings.Resume);
    report_->setChecked(settings.ReportBesideLog);
    biblio_->setChecked(settings.Biblio);
    nameFormat_->setText(QString::fromStdString(settings.NameFormat));
}

DownloadSettings DownloadOptionsBox::Values() const {
    DownloadSettings d;
    d.Resume = resume_->isChecked();
    d.ReportBesideLog = report_->isChecked();
    d.Biblio = biblio_->isChecked();
    d.NameFormat = nameFormat_->text().trimmed().toStdString();
    return d;
}

QString DownloadOptionsBox::Problem() const {
    const std::string format = nameFormat_->text().trimmed().toStdString();
    std::string error;
    if (format.empty() || NameFormat::Parse(format, error))
        return {};
    return QString::fromStdString(error);
}

}  // namespace kestrane::app
