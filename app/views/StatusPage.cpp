#include "app/views/StatusPage.h"

#include <QHeaderView>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "core/Formatting.h"

namespace pallix::views {
namespace {

enum Column { kName, kItems, kDisk, kMemory, kLastPass, kLatency, kNetwork, kPaused, kColumnCount };
const char* const kHeaders[kColumnCount] = {"Source",    "Items",     "Disk",          "Memory",
                                            "Last pass", "p50 / p95", "Network today", "Paused"};

QString milliseconds(Duration d) {
  const double ms = std::chrono::duration<double, std::milli>(d).count();
  return QString::number(ms, 'f', ms < 10 ? 2 : 1);
}

QString seconds(double s) {
  return QString::number(s, 'f', s < 10 ? 2 : 1) + " s";
}

// A pass's duration: milliseconds under a second (a small catalog's scan).
QString passDuration(Duration d) {
  const double s = toSeconds(d);
  return s < 1 ? milliseconds(d) + " ms" : seconds(s);
}

}  // namespace

StatusPage::StatusPage(AppDelegate& delegate) : delegate_(delegate) {
  auto* column = new QVBoxLayout(this);
  agent_ = new QLabel;
  agent_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  column->addWidget(agent_);
  table_ = new QTableWidget(0, kColumnCount);
  for (int c = 0; c < kColumnCount; ++c) table_->setHorizontalHeaderItem(c, new QTableWidgetItem(kHeaders[c]));
  table_->verticalHeader()->setVisible(false);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  table_->setWordWrap(true);
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setStretchLastSection(true);
  column->addWidget(table_, 1);
  auto* refreshButton = new QPushButton("Refresh");
  connect(refreshButton, &QPushButton::clicked, this, [this] { refresh(); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(refreshButton);
  column->addLayout(buttons);
  timer_.setInterval(2000);
  connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
}

void StatusPage::showEvent(QShowEvent* event) {
  refresh();
  timer_.start();
  QWidget::showEvent(event);
}

void StatusPage::hideEvent(QHideEvent* event) {
  timer_.stop();
  QWidget::hideEvent(event);
}

void StatusPage::refresh() {
  const StatusReport report = delegate_.statusReport();
  const Date now = std::chrono::system_clock::now();
  if (report.agent) {
    const AgentStatus& a = *report.agent;
    agent_->setText(QString("Agent (pid %1, work mode %2): CPU %3 over the last hour, %4 since it started; "
                            "%5 resident; %6 open files")
                        .arg(a.pid)
                        .arg(QString::fromStdString(a.workMode))
                        .arg(seconds(a.cpuSecondsLastHour))
                        .arg(seconds(a.cpuSecondsTotal))
                        .arg(QString::fromStdString(humanSize(a.residentBytes)))
                        .arg(a.openFiles));
  }
  table_->setRowCount(static_cast<int>(report.sources.size()));
  int row = 0;
  for (const SourceStatus& s : report.sources) {
    auto cell = [&](Column c, const QString& text, const QString& tip = {}) {
      auto* item = new QTableWidgetItem(text);
      if (c != kName && c != kLastPass && c != kNetwork && c != kPaused) {
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      }
      if (!tip.isEmpty()) item->setToolTip(tip);
      // What is not known stays in the background, so that the figures stand out.
      if (text == QString::fromUtf8("\u2013")) item->setForeground(palette().color(QPalette::Disabled, QPalette::Text));
      table_->setItem(row, c, item);
    };
    const QString none = QString::fromUtf8("\u2013");
    cell(kName, QString::fromStdString(s.name));
    cell(kItems, s.items ? QString::number(*s.items) : none);
    cell(kDisk, s.diskBytes ? QString::fromStdString(humanSize(*s.diskBytes)) : none);
    cell(kMemory, s.memoryBytes ? QString::fromStdString(humanSize(*s.memoryBytes)) : none,
         QString::fromStdString(s.memoryMeasure));
    if (s.lastPass) {
      cell(kLastPass,
           QString::fromStdString(s.lastPass->kind + ", " + relativeAge(s.lastPass->finishedAt, now)) + ", " +
               passDuration(s.lastPass->duration),
           QString::fromStdString(s.lastPass->outcome));
    } else {
      cell(kLastPass, none);
    }
    if (s.p50 && s.p95) {
      cell(kLatency, milliseconds(*s.p50) + " / " + milliseconds(*s.p95) + " ms",
           QString("over the last %1 of %2 queries").arg(s.keptQueries).arg(s.queries));
    } else {
      cell(kLatency, none);
    }
    QStringList hosts;
    for (const auto& [host, count] : s.requestsToday)
      hosts << QString("%1 \u00d7%2").arg(QString::fromStdString(host)).arg(count);
    cell(kNetwork, hosts.isEmpty() ? none : hosts.join("\n"));
    if (s.paused) {
      QStringList reasons;
      for (const std::string& r : s.pauseReasons) reasons << QString::fromStdString(r);
      cell(kPaused, *s.paused ? "yes: " + reasons.join("; ") : "no");
    } else {
      cell(kPaused, none);
    }
    ++row;
  }
  table_->resizeRowsToContents();
}

}  // namespace pallix::views
