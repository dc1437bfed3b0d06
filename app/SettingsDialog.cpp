// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SettingsDialog.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>
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

// Source id + key name in camel case ("abc" + "key" -> "abcKey"): the field's object name.
QString FieldName(std::string_view source, std::string_view key) {
    QString name = FromStd(source) + FromStd(key);
    if (!key.empty())
        name[static_cast<qsizetype>(source.size())] =
            name[static_cast<qsizetype>(source.size())].toUpper();
    return name;
}

// What a source needs, with its page as a link named by its host.
QString NeedsText(const sources::SourceEntry& source) {
    QString text = FromStd(source.Needs).toHtmlEscaped();
    if (!source.Link.empty()) {
        const QUrl link(FromStd(source.Link));
        text += QStringLiteral(" <a href=\"%1\">%2</a>")
                    .arg(link.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                         link.host().toHtmlEscaped());
    }
    return text;
}

bool VariableSet(std::string_view name) {
    return !name.empty() && !qEnvironmentVariableIsEmpty(std::string(name).c_str());
}

const sources::SourceEntry& Entry(int index) {
    return sources::All()[static_cast<std::size_t>(index)];
}

}  // namespace

SettingsDialog::SettingsDialog(std::string path, QWidget* parent, Mode mode,
                               std::function<void(const QUrl&)> openUrl)
    : QDialog(parent),
      path_(std::move(path)),
      mode_(mode),
      openUrl_(std::move(openUrl)),
      abort_(std::make_shared<std::atomic<bool>>(false)) {
    if (!openUrl_)
        openUrl_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    const bool chooser = mode_ == Mode::Chooser;
    setObjectName(chooser ? QStringLiteral("sourceChooser") : QStringLiteral("settingsDialog"));
    setWindowTitle(chooser ? QStringLiteral("Choose a source") : QStringLiteral("Settings"));

    // Wide enough that each source's line reads as one or two lines.
    setMinimumWidth(fontMetrics().averageCharWidth() * 64);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QWidget(this);
    if (chooser) {
        BuildChoices(top);
    } else {
        BuildCombo(top);
    }
    layout->addWidget(top);
    layout->addWidget(BuildFields());
    if (!chooser) {
        downloads_ = new DownloadOptionsBox(this);
        layout->addWidget(downloads_);
    }

    auto* buttons = new QDialogButtonBox(this);
    save_ = chooser ? buttons->addButton(QStringLiteral("Save and download"),
                                         QDialogButtonBox::AcceptRole)
                    : buttons->addButton(QDialogButtonBox::Save);
    save_->setObjectName(QStringLiteral("save"));
    buttons->addButton(QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    layout->addWidget(buttons);
    Load();
}

void SettingsDialog::BuildCombo(QWidget* into) {
    source_ = new QComboBox(into);
    source_->setObjectName(QStringLiteral("source"));
    for (const sources::SourceEntry& source : sources::All())
        source_->addItem(FromStd(source.Label), FromStd(source.Id));
    needs_ = new QLabel(into);
    needs_->setObjectName(QStringLiteral("sourceNeeds"));
    needs_->setWordWrap(true);
    needs_->setTextFormat(Qt::RichText);
    connect(needs_, &QLabel::linkActivated, this,
            [this](const QString& link) { openUrl_(QUrl(link)); });
    auto* form = new QFormLayout(into);
    form->setContentsMargins(0, 0, 0, 0);
    form->addRow(QStringLiteral("Source"), source_);
    form->addRow(QString(), needs_);
    connect(source_, &QComboBox::currentIndexChanged, this, &SettingsDialog::Select);
}

void SettingsDialog::BuildChoices(QWidget* into) {
    auto* list = new QVBoxLayout(into);
    list->setContentsMargins(0, 0, 0, 0);
    auto* intro = new QLabel(
        QStringLiteral("Choose where documents come from. You can change it later with the "
                       "source link at the top of the window or Settings... (Ctrl+,)."),
        into);
    intro->setWordWrap(true);
    list->addWidget(intro);
    choices_ = new QButtonGroup(this);
    int index = 0;
    for (const sources::SourceEntry& source : sources::All()) {
        auto* choice = new QRadioButton(FromStd(source.Label), into);
        choice->setObjectName(QStringLiteral("choose-") + FromStd(source.Id));
        choices_->addButton(choice, index++);
        auto* needs = new QLabel(NeedsText(source), into);
        needs->setObjectName(QStringLiteral("needs-") + FromStd(source.Id));
        needs->setTextFormat(Qt::RichText);
        needs->setWordWrap(true);
        // Beneath its button's text.
        needs->setContentsMargins(choice->sizeHint().height() + 4, 0, 0, 6);
        connect(needs, &QLabel::linkActivated, this,
                [this](const QString& link) { openUrl_(QUrl(link)); });
        list->addWidget(choice);
        list->addWidget(needs);
    }
    connect(choices_, &QButtonGroup::idClicked, this, &SettingsDialog::Select);
}

QWidget* SettingsDialog::BuildFields() {
    auto* box = new QWidget(this);
    pages_ = new QStackedWidget(box);
    for (const sources::SourceEntry& source : sources::All()) {
        auto* page = new QWidget(pages_);
        auto* form = new QFormLayout(page);
        form->setContentsMargins(0, 0, 0, 0);
        for (const sources::SettingKey& key : source.Keys) {
            auto* edit = new QLineEdit(page);
            edit->setObjectName(FieldName(source.Id, key.Key));
            if (key.Secret)
                edit->setEchoMode(QLineEdit::Password);
            form->addRow(FromStd(key.Label), edit);
            fields_[sources::SettingName(source, key)] = edit;
        }
        pages_->addWidget(page);
    }
    test_ = new QPushButton(QStringLiteral("Test connection"), box);
    test_->setObjectName(QStringLiteral("testConnection"));
    connect(test_, &QPushButton::clicked, this, &SettingsDialog::OnTestConnection);
    result_ = new QLabel(box);
    result_->setObjectName(QStringLiteral("testResult"));
    result_->setWordWrap(true);
    result_->setTextFormat(Qt::PlainText);
    auto* form = new QFormLayout(box);
    form->setContentsMargins(0, 0, 0, 0);
    form->addRow(pages_);
    form->addRow(test_, result_);
    return box;
}

void SettingsDialog::Load() {
    const SettingsLoad load = LoadSettings(path_);
    if (!load.Ok) {
        result_->setText(FromStd(load.Error));
        Select(mode_ == Mode::Chooser ? -1 : 0);
        return;
    }
    for (auto& [key, edit] : fields_) edit->setText(FromStd(load.Values.Get(key)));
    if (downloads_ != nullptr)
        downloads_->Load(DownloadSettings::From(load.Values));
    // Settings shows the source a run would take; the chooser shows none
    // until one is chosen.
    const auto& all = sources::All();
    int index = mode_ == Mode::Chooser ? -1 : 0;
    const std::string_view chosen = mode_ == Mode::Chooser
                                        ? std::string_view(load.Values.Source())
                                        : sources::FindOrDefault(load.Values.Source()).Id;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].Id == chosen)
            index = static_cast<int>(i);
    }
    Select(index);
}

// The controls follow; the combo and the buttons call this too.
void SettingsDialog::Select(int index) {
    if (index >= static_cast<int>(sources::All().size()))
        index = -1;
    if (index != selected_)
        result_->clear();
    selected_ = index;
    if (source_ != nullptr && index >= 0 && source_->currentIndex() != index)
        source_->setCurrentIndex(index);
    if (choices_ != nullptr && index >= 0)
        choices_->button(index)->setChecked(true);
    const sources::SourceEntry* source = index >= 0 ? &Entry(index) : nullptr;
    if (needs_ != nullptr)
        needs_->setText(source != nullptr ? NeedsText(*source) : QString());
    pages_->setVisible(source != nullptr);
    if (source != nullptr)
        pages_->setCurrentIndex(index);
    test_->setEnabled(source != nullptr && source->Test != nullptr && !tester_.joinable());
    test_->setVisible(source == nullptr || source->Test != nullptr);
    save_->setEnabled(source != nullptr);
}

SettingsDialog::~SettingsDialog() {
    abort_->store(true);
    if (tester_.joinable())
        tester_.join();  // an aborted exchange ends within about 0.2 s
}

QString SettingsDialog::MissingFields() const {
    QStringList missing;
    if (selected_ < 0)
        return {};
    const sources::SourceEntry& source = Entry(selected_);
    for (const sources::SettingKey& key : source.Keys) {
        if (fields_.at(sources::SettingName(source, key))->text().trimmed().isEmpty() &&
            !VariableSet(key.EnvVar))
            missing << FromStd(key.Label);
    }
    return missing.join(QStringLiteral(", "));
}

void SettingsDialog::accept() {
    if (selected_ < 0)
        return;
    const sources::SourceEntry& source = Entry(selected_);
    if (mode_ == Mode::Chooser) {
        if (const QString missing = MissingFields(); !missing.isEmpty()) {
            result_->setText(FromStd(source.Label) + QStringLiteral(" needs: ") + missing +
                             QLatin1Char('.'));
            return;
        }
    }
    // Keys of others stay as they are; a refused file is replaced (mode 0600).
    if (const QString problem = downloads_ != nullptr ? downloads_->Problem() : QString();
        !problem.isEmpty()) {
        result_->setText(problem);
        return;
    }
    SettingsLoad load = LoadSettings(path_);
    Settings settings = load.Values;
    if (downloads_ != nullptr)
        downloads_->Values().To(settings);
    settings.Set(sources::kSourceSetting, std::string(source.Id));
    for (const auto& [key, edit] : fields_) settings.Set(key, edit->text().trimmed().toStdString());
    const std::string error = SaveSettings(path_, settings);
    if (!error.empty()) {
        result_->setText(FromStd(error));
        return;
    }
    QDialog::accept();
}

void SettingsDialog::OnTestConnection() {
    if (selected_ < 0 || tester_.joinable())
        return;
    const sources::SourceEntry& source = Entry(selected_);
    if (source.Test == nullptr)
        return;
    test_->setEnabled(false);
    result_->setText(FromStd(source.Testing));
    // What the dialog shows is tested, not what the environment may say.
    sources::SourceConfig config = sources::Resolve(source, nullptr, kWatchdogPeriod);
    for (const sources::SettingKey& key : source.Keys) {
        config.Values[std::string(key.Key)] =
            fields_.at(sources::SettingName(source, key))->text().trimmed().toStdString();
    }
    const int tested = selected_;
    tester_ = std::thread([this, tested, &source, config = std::move(config), abort = abort_] {
        const Failure failure = source.Test(config, abort.get());
        if (abort->load())
            return;
        const QString text =
            failure ? QStringLiteral("Failed: ") + FromStd(FailureText(failure, "")).trimmed()
                    : QStringLiteral("Connected: ") + FromStd(source.TestPassed);
        QMetaObject::invokeMethod(
            this,
            [this, tested, text] {
                if (tester_.joinable())
                    tester_.join();
                if (tested == selected_)
                    result_->setText(text);
                Select(selected_);
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
