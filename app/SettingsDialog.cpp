// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/DownloadOptionsBox.h"
#include "client/ClientContext.h"
#include "client/OpsSource.h"
#include "client/Settings.h"

namespace kestrane::app {

namespace {

QString FromStd(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

SettingsDialog::SettingsDialog(std::string path, QWidget* parent)
    : QDialog(parent), path_(std::move(path)), abort_(std::make_shared<std::atomic<bool>>(false)) {
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(QStringLiteral("Settings"));

    source_ = new QComboBox(this);
    source_->setObjectName(QStringLiteral("source"));
    source_->addItem(QStringLiteral("Publication server (classic)"), QStringLiteral("classic"));
    source_->addItem(QStringLiteral("EPO Open Patent Services (ops)"), QStringLiteral("ops"));
    key_ = new QLineEdit(this);
    key_->setObjectName(QStringLiteral("opsKey"));
    secret_ = new QLineEdit(this);
    secret_->setObjectName(QStringLiteral("opsSecret"));
    secret_->setEchoMode(QLineEdit::Password);
    test_ = new QPushButton(QStringLiteral("Test connection"), this);
    test_->setObjectName(QStringLiteral("testConnection"));
    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("testResult"));
    result_->setWordWrap(true);
    result_->setTextFormat(Qt::PlainText);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Source"), source_);
    form->addRow(QStringLiteral("OPS consumer key"), key_);
    form->addRow(QStringLiteral("OPS consumer secret"), secret_);
    form->addRow(test_, result_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    connect(test_, &QPushButton::clicked, this, &SettingsDialog::OnTestConnection);
    downloads_ = new DownloadOptionsBox(this);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(downloads_);
    layout->addWidget(buttons);

    const SettingsLoad load = LoadSettings(path_);
    if (!load.Ok) {
        result_->setText(FromStd(load.Error));
        return;
    }
    source_->setCurrentIndex(load.Values.Source() == "ops" ? 1 : 0);
    key_->setText(FromStd(load.Values.OpsKey()));
    secret_->setText(FromStd(load.Values.OpsSecret()));
    downloads_->Load(DownloadSettings::From(load.Values));
}

SettingsDialog::~SettingsDialog() {
    abort_->store(true);
    if (tester_.joinable())
        tester_.join();  // an aborted exchange ends within about 0.2 s
}

void SettingsDialog::accept() {
    // Keys of others stay as they are; a refused file is replaced (mode 0600).
    if (const QString problem = downloads_->Problem(); !problem.isEmpty()) {
        result_->setText(problem);
        return;
    }
    SettingsLoad load = LoadSettings(path_);
    Settings settings = load.Values;
    downloads_->Values().To(settings);
    settings.Set("run.source", source_->currentData().toString().toStdString());
    settings.Set("ops.key", key_->text().trimmed().toStdString());
    settings.Set("ops.secret", secret_->text().trimmed().toStdString());
    const std::string error = SaveSettings(path_, settings);
    if (!error.empty()) {
        result_->setText(FromStd(error));
        return;
    }
    QDialog::accept();
}

void SettingsDialog::OnTestConnection() {
    if (tester_.joinable())
        tester_.join();
    test_->setEnabled(false);
    result_->setText(QStringLiteral("Asking EPO OPS for an access token..."));
    OpsConfig config;
    config.Base = DefaultOpsBase();
    config.Key = key_->text().trimmed().toStdString();
    config.Secret = secret_->text().trimmed().toStdString();
    tester_ = std::thread([this, config = std::move(config), abort = abort_] {
        ClientContext ctx;
        ctx.Abort = abort.get();
        OpsSession session(config);
        const Failure failure = session.EnsureToken(ctx, {});
        if (abort->load())
            return;
        const QString text =
            failure ? QStringLiteral("Failed: ") + FromStd(OpsFailureText(failure, "")).trimmed()
                    : QStringLiteral("Connected: EPO OPS issued an access token.");
        QMetaObject::invokeMethod(
            this,
            [this, text] {
                result_->setText(text);
                test_->setEnabled(true);
                emit ConnectionTested(text);
            },
            Qt::QueuedConnection);
    });
}

std::function<std::unique_ptr<Source>()> SourceFromSettings(std::chrono::milliseconds maxWait,
                                                            std::string& error) {
    const std::string path = SettingsPath();
    const SettingsLoad load = LoadSettings(path);
    if (!load.Ok) {
        error = load.Error;
        return {};
    }
    if (load.Values.Source() != "ops")
        return {};
    OpsConfig config;
    config.Base = DefaultOpsBase();
    config.Key = load.Values.OpsKey();
    config.Secret = load.Values.OpsSecret();
    config.MaxWait = maxWait;
    if (config.Key.empty() || config.Secret.empty()) {
        error =
            "The EPO OPS source needs a consumer key and secret: enter them under Settings... "
            "(or in " +
            path + ").";
        return {};
    }
    return OpsSourceMaker(std::move(config));
}

DownloadChoices ChoicesFromSettings(std::string& error) {
    DownloadChoices choices;
    const SettingsLoad load = LoadSettings(SettingsPath());
    if (!load.Ok)
        return choices;
    if (!DownloadSettings::From(load.Values).ApplyTo(choices, error)) {
        error = "The file name format under Settings... cannot be used: " + error;
        return choices;
    }
    choices.SourceId = load.Values.Source() == "ops" ? "ops" : "classic";
    return choices;
}

}  // namespace kestrane::app
