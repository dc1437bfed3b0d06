// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MainDialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string_view>

#include "app/AboutDialog.h"
#include "app/Artwork.h"
#include "app/DialogUnits.h"
#include "app/HelpPage.h"
#include "app/PatentListDrop.h"
#include "app/PictureWindow.h"
#include "app/SettingsDialog.h"
#include "client/Messages.h"
#include "client/Settings.h"
#include "client/sources/Registry.h"
#include "run/InputCheck.h"

namespace kestrane::app {

namespace {

const QColor kWorkColour(255, 0, 0);  // item in work, or failed
const QColor kDoneColour(0, 255, 0);  // item saved

QString FromStd(const std::string& text) {
    return QString::fromStdString(text);
}

template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// A static text at its template place, widened when this font needs more room
// than the template's font did, so that no text is cut off.
void PlaceText(QLabel* label, const QRect& rect) {
    label->setGeometry(rect);
    if (label->sizeHint().width() > rect.width())
        label->resize(label->sizeHint().width(), rect.height());
}

}  // namespace

MainDialog::MainDialog(MainDialogOptions options, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      options_(std::move(options)) {
    if (!options_.ChooseFolder) {
        options_.ChooseFolder = [](QWidget* owner, const QString& title) {
            return QFileDialog::getExistingDirectory(owner, title, QString(),
                                                     QFileDialog::ShowDirsOnly);
        };
    }
    if (!options_.OpenUrl) {
        options_.OpenUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    }

    setObjectName(QStringLiteral("mainDialog"));
    setWindowTitle(QString::fromLatin1(kProductName));
    setWindowIcon(AppIcon());
    setFont(DialogFont());
    BuildControls();

    // The About entry lives in the window's context menu: on Linux the window
    // manager owns the system menu.
    auto* settings = new QAction(QStringLiteral("Settings(&S)..."), this);
    settings->setObjectName(QStringLiteral("settingsAction"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, &MainDialog::OnSettings);
    addAction(settings);
    auto* about = new QAction(QStringLiteral("About %1(&A)...").arg(kProductName), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainDialog::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    if (!options_.Run.MakeSource) {
        runSource_ = std::make_shared<RunSource>();
        options_.Run.MakeSource = [source = runSource_]() -> std::unique_ptr<Source> {
            std::lock_guard<std::mutex> lock(source->Lock);
            return source->Make ? source->Make() : nullptr;
        };
    }
    run_ = std::make_unique<RunController>(*this, dispatcher_, options_.Run);
}

// run_ goes first, while the widgets still exist: a run still going is
// stopped, and the run calls nothing of the window from its destructor.
MainDialog::~MainDialog() = default;

template <typename W>
W* MainDialog::Placed(W* widget, const char* name) {
    Named(widget, name);
    const DialogUnits du(font());
    const auto* place =
        std::find_if(std::begin(kTemplatePlaces), std::end(kTemplatePlaces),
                     [name](const TemplatePlace& p) { return std::string_view(p.Name) == name; });
    if (place == std::end(kTemplatePlaces))
        return widget;
    const QRect rect = du.Rect(place->X, place->Y, place->Width, place->Height);
    auto* label = qobject_cast<QLabel*>(widget);
    if (label != nullptr && place->Text) {
        PlaceText(label, rect);
    } else {
        widget->setGeometry(rect);
    }
    return widget;
}

void MainDialog::BuildControls() {
    const DialogUnits du(font());
    setFixedSize(du.Size(kTemplateWidth, kTemplateHeight));
    // Created first so that it lies beneath the controls it encloses.
    Placed(new QGroupBox(QStringLiteral("Input Patents"), this), "inputPatents");
    BuildButtons();
    BuildFolderAndProxy();
    BuildProgress();
    BuildListAndHelp();
    BuildSourceLink();
    // The template puts the picture at (310, 107) in pixels of its own font's
    // screen; it moves with the dialog units so it stays clear of the controls.
    picture_ = Named(new PictureWindow(this), "picture134");
    picture_->Show(DrawLampPicture, kTransparentKey, du.DesignPixels(310, 107));
    SetTabOrder();
}

void MainDialog::BuildButtons() {
    ok_ = Placed(new QPushButton(QStringLiteral("Download"), this), "idOk");
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &MainDialog::OnDownload);

    close_ = Placed(new QPushButton(QStringLiteral("Close"), this), "close1005");
    connect(close_, &QPushButton::clicked, this, &QWidget::close);
}

void MainDialog::BuildFolderAndProxy() {
    Placed(new QLabel(QStringLiteral("Patents"), this), "patentsLabel");
    Placed(new QLabel(QStringLiteral("Save to"), this), "saveToLabel");
    saveFolder_ = Placed(new QLineEdit(QDir::currentPath(), this), "saveFolder1000");
    browse_ = Placed(new QPushButton(QStringLiteral("Browse"), this), "browse1001");
    connect(browse_, &QPushButton::clicked, this, &MainDialog::OnBrowse);

    useProxy_ = Placed(new QCheckBox(QStringLiteral("Proxy Server"), this), "useProxy1002");
    connect(useProxy_, &QCheckBox::toggled, this, &MainDialog::OnProxyToggled);
    Placed(new QLabel(QStringLiteral("Server IP"), this), "serverIpLabel");
    proxyIp_ = Placed(new QLineEdit(this), "proxyIp1003");
    proxyIp_->setEnabled(false);
    Placed(new QLabel(QStringLiteral("Port"), this), "portLabel");
    proxyPort_ = Placed(new QLineEdit(this), "proxyPort1004");
    proxyPort_->setEnabled(false);
}

void MainDialog::BuildProgress() {
    status_ = Placed(new QLabel(this), "status1006");
    status_->setTextFormat(Qt::PlainText);

    progress_ = Placed(new QProgressBar(this), "progress1008");
    progress_->setTextVisible(false);
    progress_->setRange(1, 100);
    progress_->reset();
}

void MainDialog::BuildListAndHelp() {
    patentList_ = Placed(new QTextEdit(this), "patentList1009");
    patentList_->setAcceptRichText(false);
    // One number per line: a line of the list is a line on screen.
    patentList_->setLineWrapMode(QTextEdit::NoWrap);
    patentList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    patentList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    patentList_->setTabChangesFocus(true);
    new PatentListDrop(patentList_);

    auto* example = new QLabel(this);
    example->setTextFormat(Qt::PlainText);
    example->setText(QStringLiteral("Example:\nDE19758096C2\nDE60218500T2\nDE102006026208A1"));
    example->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Placed(example, "example1011");

    help_ = new QLabel(QStringLiteral("Help"), this);
    QFont bold = help_->font();
    bold.setWeight(QFont::Bold);
    help_->setFont(bold);
    QPalette blue = help_->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
    help_->setPalette(blue);
    Placed(help_, "help1012");
    help_->setCursor(Qt::PointingHandCursor);
    // Reachable with Tab (Enter or Space opens it) and with F1 from anywhere in the window.
    help_->setFocusPolicy(Qt::StrongFocus);
    help_->installEventFilter(this);
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    connect(f1, &QShortcut::activated, this, &MainDialog::OnHelp);
}

// A flat button that reads as a link: a click, Alt+S or Ctrl+, opens Settings.
// Out of the tab chain, which stays the template's.
void MainDialog::BuildSourceLink() {
    sourceLink_ = Named(new QPushButton(this), kSourceLinkPlace.Name);
    const DialogUnits du(font());
    sourceLink_->setGeometry(du.Rect(kSourceLinkPlace.X, kSourceLinkPlace.Y, kSourceLinkPlace.Width,
                                     kSourceLinkPlace.Height));
    sourceLink_->setFlat(true);
    sourceLink_->setFocusPolicy(Qt::NoFocus);
    sourceLink_->setCursor(Qt::PointingHandCursor);
    sourceLink_->setStyleSheet(QStringLiteral(
        "QPushButton { border: none; padding: 0; background: transparent; color: #0000ff; "
        "text-align: right; }"));
    QFont underlined = sourceLink_->font();
    underlined.setUnderline(true);
    sourceLink_->setFont(underlined);
    sourceLink_->setToolTip(QStringLiteral("Where documents come from; click to change (Ctrl+,)"));
    connect(sourceLink_, &QPushButton::clicked, this, &MainDialog::OnSettings);
    ShowSource();
}

void MainDialog::ShowSource() {
    QString name = QStringLiteral("not chosen yet");
    const SettingsLoad load = LoadSettings(SettingsPath());
    if (!load.Ok) {
        name = QStringLiteral("see Settings");
    } else if (!load.Values.Source().empty() || !options_.Run.ServerBase.empty()) {
        name = FromStd(std::string(sources::FindOrDefault(load.Values.Source()).Label));
    }
    sourceLink_->setText(QStringLiteral("&Source: ") + name);
}

void MainDialog::SetTabOrder() {
    setTabOrder(ok_, close_);
    setTabOrder(close_, saveFolder_);
    setTabOrder(saveFolder_, browse_);
    setTabOrder(browse_, useProxy_);
    setTabOrder(useProxy_, proxyIp_);
    setTabOrder(proxyIp_, proxyPort_);
    setTabOrder(proxyPort_, patentList_);
    setTabOrder(patentList_, help_);
}

void MainDialog::BringToFront() {
    showNormal();
    raise();
    activateWindow();
}

void MainDialog::TypeAndDownload(const QStringList& numbers, const QString& saveFolder) {
    patentList_->setPlainText(numbers.join(QLatin1Char('\n')));
    if (!saveFolder.isEmpty())
        saveFolder_->setText(saveFolder);
    ok_->click();
}

// ---- Commands

void MainDialog::OnDownload() {
    if (run_->IsDownloading()) {
        const int answer = Box(BoxStyle::Question, QStringLiteral("Confirm to cancel?"));
        // The run may have ended while the question was open.
        if (answer != QMessageBox::Cancel && run_->IsDownloading())
            run_->RequestCancel();
        return;
    }

    // Read before the input check, which creates the temp folder.
    if (!ReadRunSource())
        return;

    // The Settings' download options as they are now; all off is the window
    // as it always was.
    std::string choicesError;
    DownloadChoices choices = ChoicesFromSettings(choicesError);
    if (!choicesError.empty()) {
        Box(BoxStyle::AppWarning, FromStd(choicesError));
        return;
    }

    DownloadRequest request;
    request.Lines = PatentLines();
    request.SaveFolder = saveFolder_->text().toStdString();
    request.UseProxy = useProxy_->isChecked();
    request.ProxyIp = proxyIp_->text().toStdString();
    request.ProxyPort = proxyPort_->text().toStdString();

    InputCheck check = CheckDownloadInput(request);
    if (!check.Ok) {
        Box(check.Box == BoxKind::AppWarning ? BoxStyle::AppWarning : BoxStyle::Notice,
            FromStd(check.Message));
        return;
    }
    // Asked once the input is accepted; the temp folder the check just made
    // (empty, and the check's own) goes again when no run follows.
    if (!ChooseFirstSource() || !ReadRunSource()) {
        std::error_code ignored;
        std::filesystem::remove(check.Job.TempFolder, ignored);
        return;
    }
    interfaceGone_ = false;
    check.Job.Choices = std::move(choices);
    if (!run_->StartRun(std::move(check.Job)))
        return;

    // The worker's own reports are queued, so they land after these.
    ok_->setText(QStringLiteral("Cancel"));
    status_->setText(QStringLiteral("Downloading......"));
    progress_->setRange(1, 100);
    SetProgressPos(0);
}

std::vector<std::string> MainDialog::PatentLines() const {
    std::vector<std::string> lines;
    const QStringList text = patentList_->toPlainText().split(QLatin1Char('\n'));
    for (const QString& line : text) {
        QString cut = line.left(static_cast<qsizetype>(kMaxLineLength));
        // Never keep half of a character.
        if (cut.size() < line.size() && !cut.isEmpty() && cut.back().isHighSurrogate()) {
            cut.chop(1);
        }
        lines.push_back(cut.toStdString());
    }
    return lines;
}

void MainDialog::OnBrowse() {
    const QString folder =
        options_.ChooseFolder(this, QStringLiteral("Choose a path to save documents."));
    if (!folder.isEmpty())
        saveFolder_->setText(folder);
}

void MainDialog::OnProxyToggled(bool on) {
    proxyIp_->setEnabled(on);
    proxyPort_->setEnabled(on);
}

void MainDialog::OnSettings() {
    SettingsDialog settings(SettingsPath(), this, SettingsDialog::Mode::Settings, options_.OpenUrl);
    RunModal(settings, options_.Modal);
    ShowSource();
}

bool MainDialog::ReadRunSource() {
    if (!runSource_)
        return true;
    std::string error;
    auto make = SourceFromSettings(options_.Run.WatchdogPeriod, error);
    if (!error.empty()) {
        Box(BoxStyle::AppWarning, FromStd(error));
        return false;
    }
    std::lock_guard<std::mutex> lock(runSource_->Lock);
    runSource_->Make = std::move(make);
    return true;
}

bool MainDialog::ChooseFirstSource() {
    // An embedder's source or server, or the environment's server, decides.
    if (!runSource_ || !options_.Run.ServerBase.empty())
        return true;
    const std::string path = SettingsPath();
    const SettingsLoad load = LoadSettings(path);
    if (!load.Ok || !load.Values.Source().empty())
        return true;
    SettingsDialog chooser(path, this, SettingsDialog::Mode::Chooser, options_.OpenUrl);
    const int answer = RunModal(chooser, options_.Modal);
    ShowSource();
    return answer == QDialog::Accepted;
}

void MainDialog::OnAbout() {
    AboutDialog about(this);
    RunModal(about, options_.Modal);
}

void MainDialog::OnHelp() {
    const QUrl guide = HelpPageUrl();
    if (options_.OpenUrl(guide))
        return;
    Box(BoxStyle::Notice,
        QStringLiteral("No web browser could open the user guide. It is here:\n%1")
            .arg(QDir::toNativeSeparators(guide.toLocalFile())));
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched != help_)
        return QDialog::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::MouseButtonRelease: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                help_->rect().contains(mouse->position().toPoint())) {
                OnHelp();
            }
            break;
        }
        case QEvent::KeyPress: {
            const int key = static_cast<QKeyEvent*>(event)->key();
            // Taken here, so that Enter on the link is not the Download command.
            if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
                OnHelp();
                return true;
            }
            break;
        }
        case QEvent::FocusIn:
        case QEvent::FocusOut: {
            // The link shows that it has the focus the way links do: underlined.
            QFont font = help_->font();
            font.setUnderline(event->type() == QEvent::FocusIn);
            help_->setFont(font);
            break;
        }
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::reject() {
    if (asking_)
        return;
    if (run_->IsDownloading()) {
        asking_ = true;
        const int answer = Box(BoxStyle::Question, QStringLiteral("Confirm to close?"));
        asking_ = false;
        if (answer == QMessageBox::Cancel)
            return;
        if (run_->IsDownloading())
            run_->StopForClose();
    }
    QDialog::reject();
}

void MainDialog::EndForSignal() {
    endingForSignal_ = true;
    run_->CancelNow();
    // A box open now (a question, the finish message) answers as if dismissed.
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (modal == this)
            break;
        modal->close();
        if (QApplication::activeModalWidget() == modal)
            break;
    }
    QDialog::reject();
}

int MainDialog::Box(BoxStyle style, const QString& text) {
    std::unique_ptr<QMessageBox> box = MakeBox(style, text, this);
    if (style == BoxStyle::Question)
        question_ = box.get();
    return RunModal(*box, options_.Modal);
}

// ---- Reports of the run

void MainDialog::OnSessionOpened() {
    SetProgressPos(progress::kFull);
}

void MainDialog::OnItemStarted(const ItemStarted& item) {
    SetProgressPos(0);
    ShowListAt(item.Note);
    status_->setText(FromStd(item.Activity));
}

void MainDialog::OnItemStep(const ItemStep& step) {
    SetProgressPos(step.Percent);
}

void MainDialog::OnListDone(const ProgressNote& note) {
    ShowListAt(note);
}

void MainDialog::AskToAcknowledge(std::shared_ptr<FailureNotice> handle) {
    if (endingForSignal_) {
        handle->Close();
        return;
    }
    // Not modal: the user must still be able to cancel the run while the
    // worker waits for this box.
    QMessageBox* box = MakeBox(BoxStyle::Notice, FromStd(handle->Text()), this).release();
    box->setObjectName(QStringLiteral("failureBox"));
    box->setWindowModality(Qt::NonModal);
    failureBoxes_[handle.get()] = box;
    connect(box, &QDialog::finished, this, [this, box, handle = std::move(handle)] {
        handle->Close();
        failureBoxes_.erase(handle.get());
        box->deleteLater();
    });
    box->show();
}

void MainDialog::WithdrawQuestion(const std::shared_ptr<FailureNotice>& handle) {
    if (const auto it = failureBoxes_.find(handle.get()); it != failureBoxes_.end())
        it->second->done(QMessageBox::Ok);
}

void MainDialog::OnRunFinished(const RunEnd& end) {
    interfaceGone_ = end.InterfaceGone;
    quotaText_ = QuotaText(end.Quota);
}

void MainDialog::OnIdle() {
    // A cancel or close question still open asks about a run that is over:
    // it is answered "no" before the finish box comes.
    if (question_ != nullptr && question_->isVisible())
        question_->done(QMessageBox::Cancel);
    ok_->setText(QStringLiteral("Download"));
    SetProgressPos(0);
    // After a run of a source that counts its allowance, the status line
    // says how much of it the run used; otherwise it is cleared as ever.
    status_->setText(FromStd(quotaText_));
    quotaText_.clear();
}

void MainDialog::OnSaveFolderReady(const std::string& saveFolder) {
    if (endingForSignal_)
        return;
    options_.OpenUrl(QUrl::fromLocalFile(FromStd(saveFolder)));
}

void MainDialog::OnRunMessage(const std::string& text) {
    if (text.empty() || endingForSignal_)
        return;
    // Owned by the window and modal, so no new run starts before the run
    // completion that called this has returned.
    QString shown = FromStd(text);
    if (interfaceGone_)
        shown += QLatin1Char('\n') + QString::fromLatin1(msg::kInterfaceGoneWindow);
    Box(BoxStyle::Notice, shown);
}

void MainDialog::OnLogIncomplete(const std::string& text) {
    if (endingForSignal_)
        return;
    Box(BoxStyle::AppWarning, FromStd(text));
}

// ---- List highlighting

void MainDialog::ShowListAt(const ProgressNote& note) {
    if (note.ItemSucceeded != 0 && !note.PreviousNumber.empty()) {
        ColourLine(note.ProgressIndex - 1, kDoneColour);
    }
    if (note.ProgressIndex < note.Count)
        ColourLine(note.ProgressIndex, kWorkColour);
    emit ProgressShown(note.ProgressIndex);
}

// Item k is taken to stand on line k, as the list was typed; lines are those
// the Download command read, so a line's characters are its visible text, and
// the last line runs to the end of the text.
void MainDialog::ColourLine(int line, const QColor& colour) {
    if (line < 0)
        return;
    const QString text = patentList_->toPlainText();
    qsizetype start = 0;
    for (int k = 0; k < line; ++k) {
        const qsizetype lineBreak = text.indexOf(QLatin1Char('\n'), start);
        if (lineBreak < 0)
            return;  // the user has removed lines since
        start = lineBreak + 1;
    }
    qsizetype end = text.indexOf(QLatin1Char('\n'), start);
    if (end < 0)
        end = text.size();
    if (end <= start)
        return;  // a blank line has nothing to colour

    QTextCursor cursor(patentList_->document());
    cursor.setPosition(static_cast<int>(start));
    cursor.setPosition(static_cast<int>(end), QTextCursor::KeepAnchor);
    QTextCharFormat format;
    format.setForeground(colour);
    cursor.mergeCharFormat(format);
}

void MainDialog::SetProgressPos(int position) {
    // Below the range the bar shows empty, as the native bar does.
    if (position < progress_->minimum()) {
        progress_->reset();
    } else {
        progress_->setValue(std::min(position, progress_->maximum()));
    }
}

}  // namespace kestrane::app
