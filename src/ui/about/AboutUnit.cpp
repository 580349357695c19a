#include "ui/about/AboutUnit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <utility>

#include "diagnostics/TraceReport.h"
#include "support/TextDevs.h"

TAboutForm* AboutForm = nullptr;

namespace {

// The dialog was laid out at 120 pixels per inch; Qt's logical pixels are 96.
int S(int designPixels) { return (designPixels * 96 + 60) / 120; }

QFont Face(int designHeight) {
  QFont font(QStringLiteral("IPAPGothic"));
  font.setPixelSize(S(designHeight));
  return font;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top, int height) {
  auto* label = new QLabel(text, parent);
  label->setFont(Face(height));
  label->move(S(left), S(top));
  label->adjustSize();
  return label;
}

QLabel* MakeStatic(QWidget* parent, int left, int top, int width, int height) {
  auto* text = new QLabel(parent);
  text->setFont(Face(15));
  text->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  text->setGeometry(S(left), S(top), S(width), S(height));
  return text;
}

}  // namespace

TAboutForm::TAboutForm(QWidget* parent, std::string exePath) : TGuarded<QDialog>(parent), ExePath(std::move(exePath)) {
  AboutForm = this;
  setWindowTitle(tr("バージョン情報"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFont(Face(15));
  setFixedSize(S(415), S(269));

  paneAbout = new QFrame(this);
  paneAbout->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  paneAbout->setGeometry(S(9), S(9), S(392), S(192));
  // White lettering, as designed, needs a dark ground to be read.
  paneAbout->setAutoFillBackground(true);
  QPalette palette = paneAbout->palette();
  palette.setColor(QPalette::Window, QColor(0x2B, 0x3A, 0x4F));
  palette.setColor(QPalette::WindowText, Qt::white);
  paneAbout->setPalette(palette);

  ProgramIcon = new QLabel(paneAbout);
  ProgramIcon->setGeometry(S(9), S(9), S(69), S(60));
  ProgramIcon->setPixmap(QApplication::windowIcon().pixmap(S(69), S(60)));
  ProgramIcon->setScaledContents(true);

  lbProductName = MakeLabel(paneAbout, tr("製品名"), 93, 18, 18);
  lbVersion = MakeLabel(paneAbout, tr("バージョン"), 89, 51, 18);
  lbCopyright = MakeLabel(paneAbout, tr("著作権表記"), 9, 84, 17);
  lbCDate = MakeLabel(paneAbout, tr("コンパイル日付"), 9, 108, 17);
  lbComments = MakeLabel(paneAbout, tr("コメント"), 13, 134, 17);
  lbComments->setWordWrap(true);
  stProductName = MakeStatic(paneAbout, 176, 16, 201, 19);
  stProductVersion = MakeStatic(paneAbout, 176, 48, 201, 19);
  stLegalCopyRight = MakeStatic(paneAbout, 128, 80, 249, 19);
  stCDate = MakeStatic(paneAbout, 128, 108, 249, 19);
  stComments = MakeStatic(paneAbout, 88, 136, 289, 41);
  stComments->setWordWrap(true);
  stComments->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // A label longer in another language than in Japanese pushes its text box
  // right rather than run under it; the box keeps its right edge.
  const std::pair<QLabel*, QLabel*> pairs[] = {{lbProductName, stProductName}, {lbVersion, stProductVersion},
                                               {lbCopyright, stLegalCopyRight}, {lbCDate, stCDate},
                                               {lbComments, stComments}};
  for (const auto& [label, box] : pairs) {
    const int width = label->fontMetrics().horizontalAdvance(label->text());
    if (label->x() + width <= box->x()) continue;
    const int left = label->x() + width + S(6);
    label->resize(width, label->height());
    box->setGeometry(left, box->y(), box->geometry().right() + 1 - left, box->height());
  }

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setGeometry(S(160), S(217), S(81), S(40));
  OKButton->setDefault(true);
  OKButton->setFocus();
  GuardedConnect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - rect().center());
}

void TAboutForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void TAboutForm::FormShow() {
  if (!VersionPending) return;
  VersionPending = false;
  LoadVersionInfo();
  const auto text = [this](std::size_t oneBased) {
    return QString::fromStdString(Version.VersionValues.at(oneBased - 1));
  };
  stCDate->setText(QString::fromStdString(Version.BuildDateText));
  stProductName->setText(text(8));
  stProductVersion->setText(text(9));
  stLegalCopyRight->setText(text(5));
  // The comment of the version block is Japanese; a translation may say it in the user's language.
  stComments->setText(tr(text(12).toUtf8().constData()));
  OKButton->setFocus();
}

void TAboutForm::LoadVersionInfo() {
  Version = ExePath.empty() ? ::LoadVersionInfo() : ::LoadVersionInfo(ExePath);
  // "No version information found" goes to the channel as it is; the size
  // line is a TraceLine.
  for (const auto& line : Version.LoadLines) {
    if (Version.VersionInfoSize == 0) {
      if (TraceOutput.IsOpen()) TraceOutput.WriteLine(line);
    } else {
      TraceLine("%s", line.c_str());
    }
  }
}

void TAboutForm::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Home && !event->isAutoRepeat()) {
    for (const auto& line : VersionTraceLines(Version)) TraceLine("%s", line.c_str());
    return;
  }
  QDialog::keyReleaseEvent(event);
}

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_AboutUnit.cpp"
