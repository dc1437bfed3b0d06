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

#include "app/SourceList.h"
#include "client/OpsSource.h"
#include "client/Settings.h"

namespace kestrane::app {

namespace {

QString FromStd(const std::string& text) {
    return QString::fromStdString(text);
}

// "ops.key" -> "opsKey": the field's object name.
QString FieldName(const std::string& settingsKey) {
    QString name = FromStd(settingsKey);
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0 && dot + 1 < name.size()) {
        name[dot + 1] = name[dot + 1].toUpper();
        name.remove(dot, 1);
    }
    return name;
}

// What a source needs, with its page as a link named by its host.
QString NeedsText(const SourceView& source) {
    QString text = FromStd(source.Needs).toHtmlEscaped();
    if (!source.Link.empty()) {
        const QUrl link(FromStd(source.Link));
        text += QStringLiteral(" <a href=\"%1\">%2</a>")
                    .arg(link.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                         link.host().toHtmlEscaped());
    }
    return text;
}

bool VariableSet(const std::string& name) {
    return !name.empty() && !qEnvironmentVariableIsEmpty(name.c_str());
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
    for (const SourceView& source : WindowSources())
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
    for (const SourceView& source : WindowSources()) {
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
    for (const SourceView& source : WindowSources()) {
        auto* page = new QWidget(pages_);
        auto* form = new QFormLayout(page);
        form->setContentsMargins(0, 0, 0, 0);
        for (const SourceField& field : source.Fields) {
            auto* edit = new QLineEdit(page);
            edit->setObjectName(FieldName(field.SettingsKey));
            if (field.Secret)
                edit->setEchoMode(QLineEdit::Password);
            form->addRow(FromStd(field.Label), edit);
            fields_[field.SettingsKey] = edit;
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
    const auto& sources = WindowSources();
    int index = mode_ == Mode::Chooser ? -1 : 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (sources[i].Id == load.Values.Source())
            index = static_cast<int>(i);
    }
    Select(index);
}

// The controls follow; the combo and the buttons call this too.
void SettingsDialog::Select(int index) {
    const auto& sources = WindowSources();
    if (index >= static_cast<int>(sources.size()))
        index = -1;
    if (index != selected_)
        result_->clear();
    selected_ = index;
    if (source_ != nullptr && index >= 0 && source_->currentIndex() != index)
        source_->setCurrentIndex(index);
    if (choices_ != nullptr && index >= 0)
        choices_->button(index)->setChecked(true);
    const SourceView* source = index >= 0 ? &sources[static_cast<std::size_t>(index)] : nullptr;
    if (needs_ != nullptr)
        needs_->setText(source != nullptr ? NeedsText(*source) : QString());
    pages_->setVisible(source != nullptr);
    if (source != nullptr)
        pages_->setCurrentIndex(index);
    test_->setEnabled(source != nullptr && source->Test && !tester_.joinable());
    test_->setVisible(source == nullptr || source->Test);
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
    for (const SourceField& field : WindowSources()[static_cast<std::size_t>(selected_)].Fields) {
        if (fields_.at(field.SettingsKey)->text().trimmed().isEmpty() && !VariableSet(field.EnvVar))
            missing << FromStd(field.Label);
    }
    return missing.join(QStringLiteral(", "));
}

void SettingsDialog::accept() {
    if (selected_ < 0)
        return;
    const auto& source = WindowSources()[static_cast<std::size_t>(selected_)];
    if (mode_ == Mode::Chooser) {
        if (const QString missing = MissingFields(); !missing.isEmpty()) {
            result_->setText(FromStd(source.Label) + QStringLiteral(" needs: ") + missing +
                             QLatin1Char('.'));
            return;
        }
    }
    // Keys of others stay as they are; a refused file is replaced (mode 0600).
    SettingsLoad load = LoadSettings(path_);
    Settings settings = load.Values;
    settings.Set("run.source", source.Id);
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
    const SourceView& source = WindowSources()[static_cast<std::size_t>(selected_)];
    if (!source.Test)
        return;
    test_->setEnabled(false);
    result_->setText(QStringLiteral("Asking %1...").arg(FromStd(source.Label)));
    std::map<std::string, std::string> values;
    for (const SourceField& field : source.Fields)
        values[field.SettingsKey] = fields_.at(field.SettingsKey)->text().trimmed().toStdString();
    const int tested = selected_;
    tester_ =
        std::thread([this, tested, test = source.Test, values = std::move(values), abort = abort_] {
            const QString text = FromStd(test(values, *abort));
            if (abort->load())
                return;
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

}  // namespace kestrane::app
