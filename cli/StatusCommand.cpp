// pallix status: what each source and index costs (items, disk, memory, the
// last pass, query latency, today's web requests, pauses) and what the agent
// itself uses (CPU, memory, open files). The figures of a running agent come
// over its socket; without one the command shows what the data directory
// holds and exits 3.
#include <iomanip>
#include <iostream>
#include <sstream>

#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/platform/linux/SocketOwnership.h"
#include "app/shell/StatusReport.h"
#include "cli/Command.h"
#include "core/Formatting.h"

namespace pallix::cli {
namespace {

std::string milliseconds(Duration d) {
  std::ostringstream out;
  const double ms = std::chrono::duration<double, std::milli>(d).count();
  out << std::fixed << std::setprecision(ms < 10 ? 2 : 1) << ms << " ms";
  return out.str();
}

void printSource(const SourceStatus& s, Date now) {
  std::cout << s.name << "\n";
  auto line = [](const std::string& label, const std::string& value) {
    std::cout << "  " << std::left << std::setw(11) << label << value << "\n";
  };
  if (s.items) line("items", std::to_string(*s.items));
  if (s.diskBytes) line("disk", humanSize(*s.diskBytes));
  if (s.memoryBytes) line("memory", humanSize(*s.memoryBytes) + " (" + s.memoryMeasure + ")");
  if (s.lastPass) {
    std::string took;
    if (s.lastPass->duration < std::chrono::seconds(1)) {
      took = milliseconds(s.lastPass->duration);
    } else {
      std::ostringstream out;
      out << std::fixed << std::setprecision(1) << toSeconds(s.lastPass->duration) << " s";
      took = out.str();
    }
    line("last pass", s.lastPass->kind + ", " + relativeAge(s.lastPass->finishedAt, now) + ", took " + took + ", " +
                          s.lastPass->outcome);
  }
  if (s.queries > 0 && s.p50 && s.p95) {
    line("latency", "p50 " + milliseconds(*s.p50) + ", p95 " + milliseconds(*s.p95) + " over the last " +
                        std::to_string(s.keptQueries) + " of " + std::to_string(s.queries) + " queries");
  }
  for (const auto& [host, count] : s.requestsToday) {
    line("network", host + ": " + std::to_string(count) + (count == 1 ? " request today" : " requests today"));
  }
  if (s.paused) {
    std::string reasons;
    for (const std::string& r : s.pauseReasons) reasons += (reasons.empty() ? " (" : "; ") + r;
    line("paused", *s.paused ? "yes" + reasons + ")" : "no");
  }
}

void printReport(const StatusReport& report) {
  const Date now = std::chrono::system_clock::now();
  if (report.agent) {
    const AgentStatus& a = *report.agent;
    std::ostringstream cpu;
    cpu << std::fixed << std::setprecision(2) << a.cpuSecondsLastHour << " s over the last hour, " << a.cpuSecondsTotal
        << " s since it started " << std::setprecision(0) << a.uptimeSeconds << " s ago";
    std::cout << "Agent (pid " << a.pid << ", work mode " << a.workMode << ")\n"
              << "  cpu        " << cpu.str() << "\n"
              << "  memory     " << humanSize(a.residentBytes) << " resident\n"
              << "  open files " << a.openFiles << "\n\n";
  } else {
    std::cout << "Agent not running: figures from the data directory only.\n\n";
  }
  for (const SourceStatus& s : report.sources) {
    if (!s.items && !s.diskBytes && !s.memoryBytes && !s.lastPass && s.queries == 0 && s.requestsToday.empty() &&
        !s.paused) {
      continue;  // nothing known about it
    }
    printSource(s, now);
  }
}

int runStatus(Args& args) {
  const bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("status", args.failure());
  if (!rest.empty()) return usageError("status", "takes no arguments");
  DataDirectories dirs = DataDirectories::fromEnvironment();
  auto reply = LockFileSingleInstance::request(dirs.socketPath(), kAgentStatusRequest);
  Result<StatusReport> report = reply.ok() ? decodeStatusReport(reply.value()) : Result<StatusReport>(reply.error());
  if (report.ok()) {
    if (json) {
      printJson(nlohmann::json::parse(encodeStatusReport(report.value())));
    } else {
      printReport(report.value());
    }
    return kExitOk;
  }
  StatusReport offline;
  offline.sources = diskStatus(dirs);
  if (json) {
    printJson(nlohmann::json::parse(encodeStatusReport(offline)));
  } else {
    printReport(offline);
  }
  const bool nobody =
      !reply.ok() && reply.error().domain() == kSingleInstanceErrorDomain && reply.error().code() == kNobodyListens;
  printError(nobody ? "the Pallix agent is not running"
                    : "the Pallix agent did not answer about its status: " + report.error().description(),
             "Start it with 'pallix daemon' or 'pallix-desktop' for its live figures.");
  return kExitUnavailable;
}

}  // namespace

PALLIX_COMMAND("status", "what each source and index costs, and the agent's own use",
               "Usage: pallix status [--json]\n\n"
               "For each source and index: items, disk size, memory, the last pass and how long it took,\n"
               "p50/p95 latency of its last 100 queries, the web requests it made today (host and count)\n"
               "and whether its background work is paused, and why (work mode, battery, heat). For the\n"
               "agent: CPU over the last hour and since it started, resident memory and open files.\n"
               "The figures come from the running agent; without one, only what the data directory holds\n"
               "is shown and the exit status is 3.\n",
               runStatus);

}  // namespace pallix::cli
