// The GUI toolkit on Linux: Qt 6 Widgets.
//
// Threads: the QApplication lives on the main thread. A gui.h call from any
// other thread is run on the main thread with a blocking queued call, so it
// has taken effect when it returns; the main thread serves such calls while it
// waits in GuiNextEvent and inside the modal file dialog. A message box is
// opened without a nested event loop; only the calling worker waits for it.
#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPalette>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <climits>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/gui.h"

namespace {

QApplication* Application = nullptr;

// Owned by the main thread: only ever touched there.
std::deque<WindowEvent> PendingEvents;
QWidget* LastControl = nullptr;  // end of the tab chain so far
bool WindowDestroyed = false;

// Event types of control events (the program acts on the control only; a
// click is 0, as the toolkit-neutral interface says).
constexpr int ClickEvent = 0;
constexpr int SelectionEvent = 1;
constexpr int EditEvent = 2;

void PostWindowEvent(WindowEventKind kind, GuiHandle control, int type) {
  WindowEvent event;
  event.kind = kind;
  event.control = control;
  event.type = type;
  PendingEvents.push_back(event);
}

// The main window: a close request becomes a Close event; the window itself
// stays (the program ends the process right after).
class MainWindowWidget : public QWidget {
 public:
  MainWindowWidget()
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    PostWindowEvent(WindowEventKind::Close, nullptr, 0);
  }

  // Activating the window while an owned box blocks it activates the box, as
  // Windows does for a disabled owner (a window manager usually does it too;
  // without one, a click on the window would leave the keyboard there).
  void changeEvent(QEvent* event) override {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal != nullptr && modal != this && modal->parentWidget() == this) {
        modal->raise();
        modal->activateWindow();
      }
    }
  }
};

// The open-file dialog: like the Windows one with OFN_PATHMUSTEXIST, it
// accepts a name of a file that does not exist, but only in a folder that
// does.
class OpenFileDialog : public QFileDialog {
 public:
  OpenFileDialog(QWidget* parent, const QString& caption) : QFileDialog(parent, caption) {}

 protected:
  void accept() override {
    QStringList files = selectedFiles();
    if (!files.isEmpty()) {
      QFileInfo chosen(files.first());
      if (!chosen.exists() && !QFileInfo(chosen.absolutePath()).isDir()) {
        QMessageBox::warning(
            this, windowTitle(),
            chosen.absolutePath() + "\nPath does not exist.\nCheck the path and try again.");
        return;
      }
    }
    QFileDialog::accept();
  }
};

bool OnGuiThread() { return QThread::currentThread() == Application->thread(); }

// Runs work on the main thread and returns when it has run.
template <typename Work>
void RunOnGuiThread(Work&& work) {
  if (OnGuiThread()) {
    work();
  } else {
    QMetaObject::invokeMethod(Application, std::forward<Work>(work), Qt::BlockingQueuedConnection);
  }
}

QWidget* Widget(GuiHandle handle) { return static_cast<QWidget*>(handle); }

QString ToQt(const std::string& text) { return QString::fromStdString(text); }

// "desc|pattern|desc|pattern" -> Qt name filters "desc (p1 p2)"; the
// description is shown as given (HideNameFilterDetails drops the added part).
QStringList NameFilters(const std::string& filter) {
  QStringList items = ToQt(filter).split('|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < items.size(); i += 2) {
    QStringList patterns = items[i + 1].split(';', Qt::SkipEmptyParts);
    for (QString& pattern : patterns) {
      pattern = pattern.trimmed();
    }
    patterns.removeAll(QString());
    if (patterns.isEmpty()) {
      patterns << "*";
    }
    filters << items[i] + " (" + patterns.join(' ') + ")";
  }
  return filters;
}

// The Windows name buffer holds 260 characters with the terminator.
constexpr qsizetype MaxChosenPathLength = 259;

}  // namespace

void GuiInitialize() {
  // Coordinates and sizes are pixels, never scaled for the display's DPI.
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  qunsetenv("QT_SCALE_FACTOR");
  qunsetenv("QT_SCREEN_SCALE_FACTORS");
  // The program takes no command line: Qt sees only the program name.
  static int argc = 1;
  static char programName[] = "firmware-updater";
  static char* argv[] = {programName, nullptr};
  Application = new QApplication(argc, argv);
  // The event loop is the program's (GuiNextEvent); closing never quits it.
  QApplication::setQuitOnLastWindowClosed(false);
}

GuiHandle GuiCreateMainWindow(const std::string& title, int x, int y, int clientWidth,
                              int clientHeight) {
  GuiHandle result = nullptr;
  RunOnGuiThread([&] {
    auto* window = new MainWindowWidget();
    window->setObjectName("MainWindow");
    window->setWindowTitle(ToQt(title));
    window->setBackgroundRole(QPalette::Button);  // the button-face colour
    window->setAutoFillBackground(true);
    // Keeps Qt from giving the first control the focus when the window
    // becomes active: the window itself holds it (it never takes it by Tab
    // or click, so the tab chain stays the controls').
    window->setFocusPolicy(Qt::NoFocus);
    window->move(x, y);
    window->setFixedSize(clientWidth, clientHeight);
    window->show();
    // Centred by the outer size. Under a window manager the frame is known
    // only once the window has been framed and mapped: wait for that (no
    // longer than a second; without a window manager there is no frame).
    QElapsedTimer waited;
    waited.start();
    QTimer tick;  // bounds each wait for events below
    tick.start(10);
    while (!(window->windowHandle() != nullptr && window->windowHandle()->isExposed()) &&
           waited.elapsed() < 1000) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    tick.stop();
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
      QRect area = screen->geometry();
      QSize outer = window->frameGeometry().size();
      // Half the free space, truncated; 0 where the window is the larger.
      int left = area.width() > outer.width() ? (area.width() - outer.width()) / 2 : 0;
      int top = area.height() > outer.height() ? (area.height() - outer.height()) / 2 : 0;
      window->move(area.x() + left, area.y() + top);  // a window's pos is its frame's
    }
    window->raise();
    window->activateWindow();
    window->setFocus(Qt::OtherFocusReason);
    result = window;
  });
  return result;
}

GuiHandle GuiCreateControl(GuiHandle window, ControlKind kind, int x, int y, int width, int height,
                           const std::string& text) {
  GuiHandle result = nullptr;
  RunOnGuiThread([&] {
    if (WindowDestroyed || window == nullptr) {
      return;
    }
    QWidget* parent = Widget(window);
    QWidget* control = nullptr;
    switch (kind) {
      case ControlKind::DropDownList: {
        auto* list = new QComboBox(parent);
        list->setEditable(false);
        if (!text.empty()) {
          list->addItem(ToQt(text));
        }
        list->setCurrentIndex(-1);
        QObject::connect(list, &QComboBox::activated, list, [list](int) {
          PostWindowEvent(WindowEventKind::Control, list, SelectionEvent);
        });
        control = list;
        break;
      }
      case ControlKind::TextField: {
        auto* field = new QLineEdit(parent);
        field->setFrame(true);
        field->setMaxLength(INT_MAX);  // Qt's own default limit is 32767
        field->setText(ToQt(text));
        field->setCursorPosition(0);
        QObject::connect(field, &QLineEdit::textEdited, field, [field](const QString&) {
          PostWindowEvent(WindowEventKind::Control, field, EditEvent);
        });
        control = field;
        break;
      }
      case ControlKind::PushButton: {
        auto* button = new QPushButton(ToQt(text), parent);
        button->setAutoDefault(false);
        button->setDefault(false);
        QObject::connect(button, &QPushButton::clicked, button, [button] {
          PostWindowEvent(WindowEventKind::Control, button, ClickEvent);
        });
        control = button;
        break;
      }
      case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(parent);
        bar->setOrientation(Qt::Horizontal);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        bar->setFocusPolicy(Qt::NoFocus);
        control = bar;
        break;
      }
    }
    control->setGeometry(x, y, width, height);
    control->setEnabled(true);
    // Tab and Shift+Tab follow creation order; Qt's chain wraps around.
    if (LastControl != nullptr) {
      QWidget::setTabOrder(LastControl, control);
    }
    LastControl = control;
    control->show();  // children added to a shown window start hidden
    result = control;
  });
  return result;
}

WindowEvent GuiNextEvent() {
  // Wait for the next event instead of spinning (an idle program burns no
  // core); the wait also serves the blocking calls of the other threads.
  while (PendingEvents.empty()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  WindowEvent event = PendingEvents.front();
  PendingEvents.pop_front();
  return event;
}

void GuiAppendListEntry(GuiHandle list, const std::string& entry) {
  RunOnGuiThread([&] {
    auto* combo = WindowDestroyed ? nullptr : qobject_cast<QComboBox*>(Widget(list));
    if (combo == nullptr) {
      return;
    }
    // Qt selects the first entry added to an empty box; the selection stays.
    int selected = combo->currentIndex();
    combo->addItem(ToQt(entry));
    if (combo->currentIndex() != selected) {
      combo->setCurrentIndex(selected);
    }
  });
}

std::string GuiGetText(GuiHandle control) {
  std::string result;
  RunOnGuiThread([&] {
    if (WindowDestroyed || control == nullptr) {
      return;
    }
    if (auto* combo = qobject_cast<QComboBox*>(Widget(control))) {
      if (combo->currentIndex() >= 0) {
        result = combo->currentText().toStdString();
      }
    } else if (auto* field = qobject_cast<QLineEdit*>(Widget(control))) {
      result = field->text().toStdString();
    } else if (auto* button = qobject_cast<QPushButton*>(Widget(control))) {
      result = button->text().toStdString();
    } else {
      result = Widget(control)->windowTitle().toStdString();
    }
  });
  return result;
}

void GuiSetText(GuiHandle control, const std::string& text) {
  RunOnGuiThread([&] {
    if (WindowDestroyed || control == nullptr) {
      return;
    }
    if (auto* field = qobject_cast<QLineEdit*>(Widget(control))) {
      field->setText(ToQt(text));   // raises no textEdited
      field->setCursorPosition(0);  // shows the start, as a Windows edit does
    } else if (auto* button = qobject_cast<QPushButton*>(Widget(control))) {
      button->setText(ToQt(text));
    } else if (Widget(control)->isWindow()) {
      Widget(control)->setWindowTitle(ToQt(text));
    }
  });
}

void GuiSetProgress(GuiHandle bar, int position) {
  RunOnGuiThread([&] {
    auto* progress = WindowDestroyed ? nullptr : qobject_cast<QProgressBar*>(Widget(bar));
    if (progress != nullptr) {
      progress->setValue(position < 0 ? 0 : (position > 100 ? 100 : position));
    }
  });
}

void GuiEnableControl(GuiHandle control, bool enabled) {
  RunOnGuiThread([&] {
    if (!WindowDestroyed && control != nullptr) {
      Widget(control)->setEnabled(enabled);
    }
  });
}

bool GuiIsForegroundWindow(GuiHandle window) {
  bool result = false;
  RunOnGuiThread(
      [&] { result = !WindowDestroyed && window != nullptr && Widget(window)->isActiveWindow(); });
  return result;
}

void GuiShowMessage(GuiHandle owner, const std::string& title, const std::string& text) {
  // Shared with the main thread's handler, which may still be returning from
  // set_value when this thread has woken and left.
  auto dismissed = std::make_shared<std::promise<void>>();
  std::future<void> done = dismissed->get_future();
  RunOnGuiThread([&] {
    QWidget* parent = (WindowDestroyed || owner == nullptr) ? nullptr : Widget(owner);
    auto* box =
        new QMessageBox(QMessageBox::NoIcon, ToQt(title), ToQt(text), QMessageBox::Ok, parent);
    box->setObjectName(ToQt(title));
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
      ok->setIcon(QIcon());  // a plain OK button, no icon anywhere on the box
    }
    // Owned: the main window takes no input until the box is dismissed.
    box->setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::NonModal);
    QObject::connect(
        box, &QDialog::finished, Application,
        [box, dismissed] {
          box->hide();
          // Deleted from the main loop once its signal has returned (unless
          // the main window took it along first).
          QTimer::singleShot(0, Application,
                             [later = QPointer<QMessageBox>(box)] { delete later; });
          dismissed->set_value();
        },
        Qt::SingleShotConnection);
    // No exec(): the main thread goes back to its event loop at once.
    box->show();
    box->raise();
    box->activateWindow();
  });
  if (OnGuiThread()) {
    // Not used by the program (the box is never shown from the main thread),
    // but must not deadlock: wait in a local loop until it is dismissed.
    while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return;
  }
  done.wait();
}

std::string GuiChooseOpenFile(GuiHandle owner, const std::string& title, const std::string& filter,
                              int filterIndex) {
  std::string result;
  RunOnGuiThread([&] {
    QWidget* parent = (WindowDestroyed || owner == nullptr) ? nullptr : Widget(owner);
    OpenFileDialog dialog(parent, ToQt(title));
    dialog.setObjectName("OpenFileDialog");
    // The widget dialog, the same on every desktop.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    QStringList filters = NameFilters(filter);
    if (!filters.isEmpty()) {
      dialog.setNameFilters(filters);
      dialog.selectNameFilter(
          filters[filterIndex >= 0 && filterIndex < filters.size() ? filterIndex : 0]);
    }
    // Owned: only the main window is blocked, as a Windows owner is disabled.
    dialog.setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::NonModal);
    // Modal on the main thread: the nested loop still serves the other
    // threads' calls. QFileDialog never changes the current directory.
    if (dialog.exec() != QDialog::Accepted) {
      return;
    }
    QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) {
      return;
    }
    QString chosen = QFileInfo(files.first()).absoluteFilePath();
    if (chosen.size() > MaxChosenPathLength) {
      return;  // longer than the name buffer: cannot be chosen
    }
    result = chosen.toStdString();
  });
  return result;
}

void GuiDestroyWindow(GuiHandle window) {
  RunOnGuiThread([&] {
    if (WindowDestroyed || window == nullptr) {
      return;
    }
    WindowDestroyed = true;
    LastControl = nullptr;
    delete Widget(window);  // the controls with it
  });
}
