// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <string_view>

#include "app/DownloadOptionsBox.h"
#include "client/Settings.h"
#include "client/sources/Registry.h"
#include "run/RunController.h"

namespace kestrane::app {

namespace {

QString FromStd(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The field's object name: the source's id, then the key with a capital first letter.
QString FieldName(std::string_view source, std::string_view key) {
    QString name = FromStd(source) + FromStd(key);
    if (!key.empty())
        name[static_cast<qsizetype>(source.size())] =
            name[static_cast<qsizetype>(source.size())].toUpper();
    return name;
}

}  // namespace

SettingsDialog::SettingsDialog(std::string path, QWidget* parent)
    : QDialog(parent), path_(std::move(path)), abort_(std::make_shared<std::atomic<bool>>(false)) {
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(QStringLiteral("Settings"));

    source_ = new QComboBox(this);
    source_->setObjectName(QStringLiteral("source"));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Source"), source_);
    for (const sources::SourceEntry& entry : sources::All()) {
        source_->addItem(
            FromStd(entry.Label) + QStringLiteral(" (") + FromStd(entry.Id) + QStringLiteral(")"),
            FromStd(entry.Id));
        for (const sources::SettingKey& key : entry.Keys) {
            auto* edit = new QLineEdit(this);
            edit->setObjectName(FieldName(entry.Id, key.Key));
            if (key.Secret)
                edit->setEchoMode(QLineEdit::Password);
            form->addRow(FromStd(key.Label), edit);
            fields_.push_back({sources::SettingName(entry, key), std::string(key.Key),
                               std::string(entry.Id), edit});
        }
    }
    test_ = new QPushButton(QStringLiteral("Test connection"), this);
    test_->setObjectName(QStringLiteral("testConnection"));
    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("testResult"));
    result_->setWordWrap(true);
    result_->setTextFormat(Qt::PlainText);
    form->addRow(test_, result_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    connect(test_, &QPushButton::clicked, this, &SettingsDialog::OnTestConnection);
    connect(source_, &QComboBox::currentIndexChanged, this, &SettingsDialog::OnSourceChosen);
    downloads_ = new DownloadOptionsBox(this);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(downloads_);
    layout->addWidget(buttons);

    const SettingsLoad load = LoadSettings(path_);
    if (!load.Ok) {
        result_->setText(FromStd(load.Error));
        OnSourceChosen();
        return;
    }
    source_->setCurrentIndex(
        std::max(0, source_->findData(FromStd(sources::FindOrDefault(load.Values.Source()).Id))));
    for (const KeyField& field : fields_)
        field.edit->setText(FromStd(load.Values.Get(field.setting)));
    OnSourceChosen();
    downloads_->Load(DownloadSettings::From(load.Values));
}

SettingsDialog::~SettingsDialog() {
    abort_->store(true);
    if (tester_.joinable())
        tester_.join();  // an aborted exchange ends within about 0.2 s
}

void SettingsDialog::OnSourceChosen() {
    const sources::SourceEntry& entry =
        sources::FindOrDefault(source_->currentData().toString().toStdString());
    test_->setEnabled(entry.Test != nullptr && !tester_.joinable());
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
    settings.Set(sources::kSourceSetting, source_->currentData().toString().toStdString());
    for (const KeyField& field : fields_)
        settings.Set(field.setting, field.edit->text().trimmed().toStdString());
    const std::string error = SaveSettings(path_, settings);
    if (!error.empty()) {
        result_->setText(FromStd(error));
        return;
    }
    QDialog::accept();
}

void SettingsDialog::OnTestConnection() {
    const sources::SourceEntry& entry =
        sources::FindOrDefault(source_->currentData().toString().toStdString());
    if (entry.Test == nullptr)
        return;
    if (tester_.joinable())
        tester_.join();
    test_->setEnabled(false);
    result_->setText(FromStd(entry.Testing));
    // What the dialog shows is tested, not what the environment may say.
    sources::SourceConfig config = sources::Resolve(entry, nullptr, kWatchdogPeriod);
    for (const KeyField& field : fields_) {
        if (field.source == entry.Id)
            config.Values[field.key] = field.edit->text().trimmed().toStdString();
    }
    tester_ = std::thread([this, &entry, config = std::move(config), abort = abort_] {
        const Failure failure = entry.Test(config, abort.get());
        if (abort->load())
            return;
        const QString text =
            failure ? QStringLiteral("Failed: ") + FromStd(FailureText(failure, "")).trimmed()
                    : QStringLiteral("Connected: ") + FromStd(entry.TestPassed);
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
    const sources::SourceEntry& entry = sources::FindOrDefault(load.Values.Source());
    const sources::SourceConfig config = sources::Resolve(entry, &load.Values, maxWait);
    if (!sources::MissingKeys(entry, config).empty()) {
        error = sources::NeedsText(entry, path, sources::Remedy::Window);
        return {};
    }
    return entry.Make(config);
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
    choices.SourceId = sources::FindOrDefault(load.Values.Source()).Id;
    return choices;
}

}  // namespace kestrane::app
