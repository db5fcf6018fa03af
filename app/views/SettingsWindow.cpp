#include "app/views/SettingsWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/platform/linux/X11KeyTable.h"
#include "app/shell/LaunchAtLogin.h"
#include "core/Telemetry.h"

namespace pallix::views {
namespace {

// A button that records the next key combination pressed while it has the focus.
class ShortcutRecorder final : public QPushButton {
 public:
  using Recorded = std::function<void(const KeyboardShortcut&)>;
  ShortcutRecorder(const KeyboardShortcut& current, Recorded recorded) : recorded_(std::move(recorded)) {
    showShortcut(current);
    setCheckable(true);
    connect(this, &QPushButton::toggled, this, [this](bool on) {
      if (on) setText("Press a shortcut\u2026");
    });
  }
  void showShortcut(const KeyboardShortcut& s) {
    shown_ = s;
    setChecked(false);
    setText(QString::fromStdString(s.displayString()));
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (!isChecked()) return QPushButton::keyPressEvent(event);
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
      showShortcut(shown_);
      return;
    }
    switch (event->key()) {
      case Qt::Key_Shift:
      case Qt::Key_Control:
      case Qt::Key_Alt:
      case Qt::Key_Meta:
      case Qt::Key_Super_L:
      case Qt::Key_Super_R:
        return;  // wait for the key itself
      default:
        break;
    }
    auto code = x11::keyCodeForKeysym(event->nativeVirtualKey());
    if (!code) {
      setText("That key cannot be a shortcut");
      return;
    }
    KeyboardShortcut s{*code, x11::modifierFlagsFor(static_cast<uint16_t>(event->nativeModifiers())),
                       x11::keyDisplayFor(*code)};
    recorded_(s);
  }

 private:
  Recorded recorded_;
  KeyboardShortcut shown_;
};

}  // namespace

SettingsWindow::SettingsWindow(DesktopAgent& agent) : QWidget(nullptr, Qt::Window), agent_(agent) {
  setWindowTitle("Pallix Settings");
  resize(820, 540);
  auto* column = new QVBoxLayout(this);
  tabs_ = new QTabWidget(this);
  tabs_->addTab(buildGeneral(), "General");
  tabs_->addTab(buildShortcuts(), "Shortcuts");
  statusPage_ = new StatusPage(agent_.delegate());
  tabs_->addTab(statusPage_, "Status");
  column->addWidget(tabs_);
  status_ = new QLabel(this);
  status_->setWordWrap(true);
  column->addWidget(status_);
}

void SettingsWindow::present() {
  show();
  raise();
  activateWindow();
  // Settings take the focus briefly; the panel should not take that as leaving.
  if (WindowManager* wm = agent_.windowManager()) wm->suppressNextAppDeactivation();
}

Status SettingsWindow::writeStatusSnapshot(const std::string& path) {
  tabs_->setCurrentWidget(statusPage_);
  if (!isVisible()) show();
  statusPage_->refresh();
  QPixmap image = grab();
  if (!image.save(QString::fromStdString(path), "PNG")) {
    return Error::make("cannot write the settings snapshot to \"" + path + "\"");
  }
  return {};
}

void SettingsWindow::report(const Status& status) {
  status_->setText(status.ok() ? QString() : QString::fromStdString(status.error().description()));
  status_->setStyleSheet(status.ok() ? "" : "color: #d33;");
}

QWidget* SettingsWindow::buildGeneral() {
  auto* page = new QWidget;
  auto* form = new QFormLayout(page);
  AppDelegate& d = agent_.delegate();

  auto* folders = new QListWidget;
  for (const auto& f : d.filesPreferences().indexedFolders()) folders->addItem(QString::fromStdString(f));
  auto* add = new QPushButton("Add\u2026");
  auto* remove = new QPushButton("Remove");
  auto store = [this, folders] {
    std::vector<std::string> list;
    for (int i = 0; i < folders->count(); ++i) list.push_back(folders->item(i)->text().toStdString());
    report(agent_.delegate().filesPreferences().setIndexedFolders(list));
  };
  connect(add, &QPushButton::clicked, this, [this, folders, store] {
    QString dir = QFileDialog::getExistingDirectory(this, "Add a folder to index");
    if (dir.isEmpty()) return;
    folders->addItem(dir);
    store();
  });
  connect(remove, &QPushButton::clicked, this, [folders, store] {
    delete folders->currentItem();
    store();
  });
  auto* folderButtons = new QHBoxLayout;
  folderButtons->addWidget(add);
  folderButtons->addWidget(remove);
  folderButtons->addStretch();
  auto* folderBox = new QVBoxLayout;
  folderBox->addWidget(folders);
  folderBox->addLayout(folderButtons);
  form->addRow("Indexed folders", folderBox);

  auto checkbox = [this, form](const char* label, bool on, std::function<Status(bool)> set) {
    auto* box = new QCheckBox(label);
    box->setChecked(on);
    connect(box, &QCheckBox::toggled, this, [this, set](bool value) { report(set(value)); });
    form->addRow("", box);
  };
  checkbox("Search file contents by meaning", d.filesPreferences().semanticSearchEnabled(),
           [&d](bool v) { return d.filesPreferences().setSemanticSearchEnabled(v); });
  auto* intensity = new QComboBox;
  for (auto raw : kIndexingIntensityRawValues) intensity->addItem(QString::fromUtf8(raw.data(), int(raw.size())));
  intensity->setCurrentIndex(static_cast<int>(d.filesPreferences().indexingIntensity()));
  connect(intensity, &QComboBox::currentIndexChanged, this,
          [this, &d](int i) { report(d.filesPreferences().setIndexingIntensity(static_cast<IndexingIntensity>(i))); });
  form->addRow("Indexing intensity", intensity);
  checkbox("Keep clipboard history", d.clipboardPreferences().historyEnabled(),
           [&d](bool v) { return d.clipboardPreferences().setHistoryEnabled(v); });
  auto* retention = new QComboBox;
  for (int days : {1, 7, 30, 90}) {
    if (ClipboardPreferences::isRetentionOption(days)) retention->addItem(QString("%1 days").arg(days), days);
  }
  retention->setCurrentIndex(retention->findData(static_cast<int>(d.clipboardPreferences().retentionDays())));
  connect(retention, &QComboBox::currentIndexChanged, this, [this, &d, retention](int i) {
    report(d.clipboardPreferences().setRetentionDays(retention->itemData(i).toInt()));
  });
  form->addRow("Clipboard retention", retention);
  checkbox("Search messages", d.messagesPreferences().searchEnabled(),
           [&d](bool v) { return d.messagesPreferences().setSearchEnabled(v); });
  auto login = std::make_shared<LaunchAtLogin>(LaunchAtLogin::autostartDirectoryFromEnvironment(),
                                               QCoreApplication::applicationFilePath().toStdString());
  checkbox("Start Pallix at login", login->isEnabled(), [login](bool v) { return login->setEnabled(v); });
  DataSourcePreferences& sources = *agent_.runtime().dataSources;
  checkbox("Calculator", sources.calculatorEnabled(), [&sources](bool v) { return sources.setCalculatorEnabled(v); });
  checkbox("Weather", sources.weatherEnabled(), [&sources](bool v) { return sources.setWeatherEnabled(v); });
  checkbox("Dictionary", sources.dictionaryEnabled(), [&sources](bool v) { return sources.setDictionaryEnabled(v); });
  checkbox("Encyclopedia", sources.wikipediaEnabled(), [&sources](bool v) { return sources.setWikipediaEnabled(v); });

  auto* position = new QComboBox;
  for (auto name : kPanelPositionDisplayNames) position->addItem(QString::fromUtf8(name.data(), int(name.size())));
  position->setCurrentIndex(static_cast<int>(d.appDisplayPreferences().panelPosition()));
  connect(position, &QComboBox::currentIndexChanged, this, [this, &d](int i) {
    auto p = static_cast<PanelPosition>(i);
    report(d.appDisplayPreferences().setPanelPosition(p));
    if (WindowManager* wm = agent_.windowManager()) wm->setPanelPosition(p);
  });
  form->addRow("Panel position", position);
  return page;
}

QWidget* SettingsWindow::buildShortcuts() {
  auto* page = new QWidget;
  auto* form = new QFormLayout(page);
  WindowManager* wm = agent_.windowManager();
  if (!wm) return page;
  static const char* labels[] = {"Show Pallix", "Clipboard", "Emoji", "Messages", "Files"};
  for (HotKeyKind kind : kAllHotKeyKinds) {
    auto recorder = std::make_shared<ShortcutRecorder*>(nullptr);
    auto* button = new ShortcutRecorder(wm->shortcut(kind), [this, wm, kind, recorder](const KeyboardShortcut& s) {
      Status status = validateRecordedShortcut(s);
      if (status.ok()) status = wm->updateShortcut(kind, s);
      TelemetryService::signal(status.ok() ? "Settings.shortcutUpdated" : "Settings.shortcutUpdateFailed",
                               {{"shortcut", hotKeyName(kind)}});
      report(status);
      (*recorder)->showShortcut(wm->shortcut(kind));
    });
    *recorder = button;
    button->setMinimumWidth(180);
    form->addRow(labels[static_cast<size_t>(kind) - 1], button);
    if (const auto& refusal = wm->refusal(kind)) {
      auto* note =
          new QLabel(QString::fromStdString(refusal->refused.displayString() + " was refused: " + refusal->reason));
      note->setWordWrap(true);
      note->setEnabled(false);
      form->addRow(QString(), note);
    }
  }
  return page;
}

}  // namespace pallix::views
