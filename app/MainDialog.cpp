#include "app/MainDialog.h"

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>

#include "app/AboutDialog.h"
#include "app/Artwork.h"
#include "app/DialogUnits.h"
#include "app/HelpPage.h"
#include "app/PatentListDrop.h"
#include "app/PictureWindow.h"
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
        options_.OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    }

    setObjectName(QStringLiteral("mainDialog"));
    setWindowTitle(QString::fromLatin1(kProductName));
    setWindowIcon(AppIcon());
    setFont(DialogFont());
    BuildControls();

    // The About entry lives in the window's context menu: on Linux the window
    // manager owns the system menu.
    auto* about = new QAction(QStringLiteral("About %1(&A)...").arg(kProductName), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &MainDialog::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    watchdog_ = new QTimer(this);
    watchdog_->setObjectName(QStringLiteral("watchdogTimer"));
    connect(watchdog_, &QTimer::timeout, this, [this] {
        if (run_)
            run_->OnWatchdogTick();
    });

    run_ = std::make_unique<RunController>(*this, options_.Run);
}

MainDialog::~MainDialog() {
    // A run still going is stopped here, while the widgets it reports to exist.
    destroying_ = true;
    run_.reset();
}

void MainDialog::BuildControls() {
    const DialogUnits du(font());
    setFixedSize(du.Size(287, 247));

    // Created first so that it lies beneath the controls it encloses.
    auto* group = Named(new QGroupBox(QStringLiteral("Input Patents"), this), "inputPatents");
    group->setGeometry(du.Rect(5, 12, 279, 195));

    ok_ = Named(new QPushButton(QStringLiteral("Download"), this), "idOk");
    ok_->setGeometry(du.Rect(219, 28, 50, 14));
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &MainDialog::OnDownload);

    close_ = Named(new QPushButton(QStringLiteral("Close"), this), "close1005");
    close_->setGeometry(du.Rect(219, 48, 50, 14));
    connect(close_, &QPushButton::clicked, this, &QWidget::close);

    auto* patentsLabel = Named(new QLabel(QStringLiteral("Patents"), this), "patentsLabel");
    PlaceText(patentsLabel, du.Rect(13, 32, 29, 10));
    auto* saveToLabel = Named(new QLabel(QStringLiteral("Save to"), this), "saveToLabel");
    PlaceText(saveToLabel, du.Rect(13, 137, 29, 8));

    saveFolder_ = Named(new QLineEdit(QDir::currentPath(), this), "saveFolder1000");
    saveFolder_->setGeometry(du.Rect(49, 135, 105, 14));

    browse_ = Named(new QPushButton(QStringLiteral("Browse"), this), "browse1001");
    browse_->setGeometry(du.Rect(159, 135, 40, 15));
    connect(browse_, &QPushButton::clicked, this, &MainDialog::OnBrowse);

    useProxy_ = Named(new QCheckBox(QStringLiteral("Proxy Server"), this), "useProxy1002");
    useProxy_->setGeometry(du.Rect(13, 159, 65, 11));
    connect(useProxy_, &QCheckBox::toggled, this, &MainDialog::OnProxyToggled);

    auto* ipLabel = Named(new QLabel(QStringLiteral("Server IP"), this), "serverIpLabel");
    PlaceText(ipLabel, du.Rect(13, 178, 37, 8));
    proxyIp_ = Named(new QLineEdit(this), "proxyIp1003");
    proxyIp_->setGeometry(du.Rect(57, 176, 52, 14));
    proxyIp_->setEnabled(false);

    auto* portLabel = Named(new QLabel(QStringLiteral("Port"), this), "portLabel");
    PlaceText(portLabel, du.Rect(116, 179, 19, 9));
    proxyPort_ = Named(new QLineEdit(this), "proxyPort1004");
    proxyPort_->setGeometry(du.Rect(135, 176, 27, 14));
    proxyPort_->setEnabled(false);

    status_ = Named(new QLabel(this), "status1006");
    status_->setGeometry(du.Rect(5, 227, 279, 12));
    status_->setTextFormat(Qt::PlainText);

    progress_ = Named(new QProgressBar(this), "progress1008");
    progress_->setGeometry(du.Rect(5, 209, 279, 14));
    progress_->setTextVisible(false);
    progress_->setRange(1, 100);
    progress_->reset();

    patentList_ = Named(new QTextEdit(this), "patentList1009");
    patentList_->setGeometry(du.Rect(49, 30, 79, 98));
    patentList_->setAcceptRichText(false);
    // One number per line: a line of the list is a line on screen.
    patentList_->setLineWrapMode(QTextEdit::NoWrap);
    patentList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    patentList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    patentList_->setTabChangesFocus(true);
    new PatentListDrop(patentList_);

    auto* example = Named(new QLabel(this), "example1011");
    example->setTextFormat(Qt::PlainText);
    example->setText(QStringLiteral("Example:\nDE19758096C2\nDE60218500T2\nDE102006026208A1"));
    example->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    PlaceText(example, du.Rect(131, 31, 68, 33));

    help_ = Named(new QLabel(QStringLiteral("Help"), this), "help1012");
    QFont bold = help_->font();
    bold.setWeight(QFont::Bold);
    help_->setFont(bold);
    QPalette blue = help_->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 0, 255));
    help_->setPalette(blue);
    PlaceText(help_, du.Rect(215, 6, 24, 8));
    help_->setCursor(Qt::PointingHandCursor);
    help_->installEventFilter(this);

    // The template puts the picture at (310, 107) in pixels of its own font's
    // screen; it moves with the dialog units so it stays clear of the controls.
    picture_ = Named(new PictureWindow(this), "picture134");
    picture_->Show(DrawLampPicture, kTransparentKey, du.DesignPixels(310, 107));

    setTabOrder(ok_, close_);
    setTabOrder(close_, saveFolder_);
    setTabOrder(saveFolder_, browse_);
    setTabOrder(browse_, useProxy_);
    setTabOrder(useProxy_, proxyIp_);
    setTabOrder(proxyIp_, proxyPort_);
    setTabOrder(proxyPort_, patentList_);
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
    if (!run_->StartRun(std::move(check.Job)))
        return;

    // The worker's own reports are queued, so they land after these.
    ok_->setText(QStringLiteral("Cancel"));
    status_->setText(QStringLiteral("Downloading......"));
    progress_->setRange(1, 100);
    ApplyProgressPos(0);
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

void MainDialog::OnAbout() {
    AboutDialog about(this);
    RunModal(about, options_.Modal);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == help_ && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton &&
            help_->rect().contains(mouse->position().toPoint())) {
            options_.OpenUrl(HelpPageUrl());
        }
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

int MainDialog::Box(BoxStyle style, const QString& text) {
    std::unique_ptr<QMessageBox> box = MakeBox(style, text, this);
    return RunModal(*box, options_.Modal);
}

// ---- Reports of the run

void MainDialog::Queue(std::function<void()> call) {
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void MainDialog::JobProgress(const ProgressNote& note) {
    Queue([this, note] { ApplyProgress(note); });
}

void MainDialog::JobFinished() {
    Queue([this] {
        if (run_)
            run_->OnJobFinished();
    });
}

void MainDialog::SetStatusText(const std::string& text) {
    Queue([this, text = FromStd(text)] { status_->setText(text); });
}

void MainDialog::SetProgressPos(int position) {
    Queue([this, position] { ApplyProgressPos(position); });
}

void MainDialog::ArmWatchdog() {
    Queue([this] {
        // A stopped worker's late request must not start a timer for no run.
        if (run_ && run_->IsDownloading())
            watchdog_->start(options_.WatchdogPeriod);
    });
}

void MainDialog::ShowFailureBox(std::shared_ptr<FailureBox> handle) {
    Queue([this, handle = std::move(handle)] {
        if (handle->IsClosed() || destroying_)
            return;
        // Not modal: the user must still be able to cancel the run while the
        // worker waits for this box.
        QMessageBox* box = MakeBox(BoxStyle::Notice, FromStd(handle->Text()), this).release();
        box->setObjectName(QStringLiteral("failureBox"));
        box->setWindowModality(Qt::NonModal);
        connect(box, &QDialog::finished, this, [this, box] {
            auto it = std::find_if(failureBoxes_.begin(), failureBoxes_.end(),
                                   [box](const ShownFailure& f) { return f.Box == box; });
            if (it != failureBoxes_.end()) {
                it->Handle->Close();
                failureBoxes_.erase(it);
            }
            box->deleteLater();
        });
        failureBoxes_.push_back({handle, box});
        box->show();
    });
}

void MainDialog::DismissFailureBox(const std::shared_ptr<FailureBox>& handle) {
    auto it = std::find_if(failureBoxes_.begin(), failureBoxes_.end(),
                           [&handle](const ShownFailure& f) { return f.Handle == handle; });
    // Not on screen yet: its queued call finds the handle closed and shows nothing.
    if (it != failureBoxes_.end())
        it->Box->done(QMessageBox::Ok);
}

void MainDialog::StopWatchdog() {
    watchdog_->stop();
}

void MainDialog::ResetIdle() {
    ok_->setText(QStringLiteral("Download"));
    ApplyProgressPos(0);
    status_->clear();
}

void MainDialog::OpenSaveFolder(const std::string& saveFolder) {
    if (destroying_)
        return;
    options_.OpenUrl(QUrl::fromLocalFile(FromStd(saveFolder)));
}

void MainDialog::ShowFinishMessage(const std::string& text) {
    if (destroying_ || text.empty())
        return;
    // Owned by the window and modal, so no new run starts before the run
    // completion that called this has returned.
    Box(BoxStyle::Notice, FromStd(text));
}

// ---- List highlighting

void MainDialog::ApplyProgress(const ProgressNote& note) {
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

void MainDialog::ApplyProgressPos(int position) {
    // Below the range the bar shows empty, as the native bar does.
    if (position < progress_->minimum()) {
        progress_->reset();
    } else {
        progress_->setValue(std::min(position, progress_->maximum()));
    }
}

}  // namespace kestrane::app
