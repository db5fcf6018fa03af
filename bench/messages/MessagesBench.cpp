// messages_bench: the messages text search and chunk building on a large
// generated Messages database (200,000 messages by default, written into the
// build tree by tools/messages/make_messages_db.py).
//
//   messages_bench [--db PATH] [--vcf PATH] [--runs N] [--now SECONDS] [--no-shell]
//
// Text search: searchTextOnly (both statements and the results with contact
// names and attachments) per query, side by side in the same run with the
// same two statements run alone by the sqlite3 shell on the same file
// (".timer on"; the parameters written in as literals). Runs alternate
// between the two so both see the same machine load. Chunk building: every
// conversation of the 12-month window read and chunked, in messages per
// second, and the builder alone over messages already in memory.
// Prints a plain-text report; goals: search p95 under 80 ms and at most 1.3x
// the shell, chunk building at least 100,000 messages per second.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/messages/MessageChunkCollector.h"
#include "app/messages/MessageSearchService.h"
#include "app/messages/MessageStatements.h"
#include "app/platform/VCardContactStore.h"
#include "bench/support/BenchStats.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

struct Options {
  std::string db = MESSAGES_BENCH_DB;
  std::string vcf = MESSAGES_BENCH_VCF;
  int runs = 30;
  double now = MESSAGES_BENCH_NOW;
  bool shell = true;
};

double millisecondsSince(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

std::string literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? "''" : std::string(1, c);
  return out + "'";
}

// `sql` with each "?" replaced by the next literal.
std::string bindLiterals(const std::string& sql, const std::vector<std::string>& literals) {
  std::string out;
  size_t next = 0;
  for (char c : sql) {
    if (c == '?' && next < literals.size()) {
      out += literals[next++];
    } else {
      out += c;
    }
  }
  return out;
}

struct ShellRun {
  double statementsMs = 0;     // the two statements' "Run Time: real", added
  double statementsCpuMs = 0;  // their user and system time, added
  double processMs = 0;        // the whole sqlite3 process, start-up included
};

ShellRun runShell(const std::string& db, const std::string& script) {
  const std::string path = (fs::temp_directory_path() / "messages_bench_query.sql").string();
  std::ofstream(path) << ".timer on\n.output /dev/null\n" << script;
  Steady::time_point start = Steady::now();
  std::string command = "sqlite3 -readonly -batch '" + db + "' < '" + path + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ShellRun run;
  if (!pipe) return run;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    double real = 0, user = 0, sys = 0;
    if (std::sscanf(line, "Run Time: real %lf user %lf sys %lf", &real, &user, &sys) == 3) {
      run.statementsMs += real * 1e3;
      run.statementsCpuMs += (user + sys) * 1e3;
    }
  }
  ::pclose(pipe);
  run.processMs = millisecondsSince(start);
  return run;
}

void benchTextSearch(const Options& o, MessageSearchService& service) {
  struct Query {
    const char* text;
    const char* what;
  };
  const Query queries[] = {{"lunch", "common word"}, {"meeting notes", "phrase"}, {"Martin", "contact name"},
                           {"Family", "group name"}, {"+1555", "handle digits"},  {"zzqx", "no match"}};
  std::printf("Text search (searchTextOnly), %d runs per query; shell: the same two statements in sqlite3\n", o.runs);
  std::printf(
      "wall times in ms; cpu: CPU time of the whole search (ours, both threads) and of the two statements\n"
      "(shell user+sys), which the load of a shared machine inflates far less than wall time\n");
  std::printf("%-14s %-13s %4s | %8s %8s %7s | %8s %8s %7s %8s | %6s %6s %6s\n", "query", "kind", "hits", "ours p50",
              "ours p95", "cpu p50", "shell50", "shell95", "cpu p50", "proc p50", "p50 x", "p95 x", "cpu x");
  std::vector<double> allOurs, allShell, allOursCpu, allShellCpu;
  for (const Query& q : queries) {
    std::vector<std::string> identifiers = service.searchContactIdentifiers(q.text);
    const std::string pattern = literal(std::string("%") + q.text + "%");
    std::vector<std::string> contactLiterals = {pattern, pattern};
    for (const std::string& id : identifiers) contactLiterals.push_back(literal(id));
    contactLiterals.push_back("50");
    const std::string script = bindLiterals(message_sql::textSearch(), {pattern, "50"}) + ";\n" +
                               bindLiterals(message_sql::contactSearch(identifiers.size()), contactLiterals) + ";\n";
    size_t count = service.searchTextOnly(q.text).size();  // warm the file cache for both sides
    if (o.shell) runShell(o.db, script);
    std::vector<double> ours, cpu, shell, shellCpu, process;
    for (int i = 0; i < o.runs; ++i) {
      double cpuStart = bench::processCpuSeconds() * 1e3;
      Steady::time_point start = Steady::now();
      service.searchTextOnly(q.text);
      ours.push_back(millisecondsSince(start));
      cpu.push_back(bench::processCpuSeconds() * 1e3 - cpuStart);
      if (o.shell) {
        ShellRun run = runShell(o.db, script);
        shell.push_back(run.statementsMs);
        shellCpu.push_back(run.statementsCpuMs);
        process.push_back(run.processMs);
      }
    }
    allOurs.insert(allOurs.end(), ours.begin(), ours.end());
    allShell.insert(allShell.end(), shell.begin(), shell.end());
    allOursCpu.insert(allOursCpu.end(), cpu.begin(), cpu.end());
    allShellCpu.insert(allShellCpu.end(), shellCpu.begin(), shellCpu.end());
    double s50 = bench::percentile(shell, 0.5), s95 = bench::percentile(shell, 0.95),
           c50 = bench::percentile(shellCpu, 0.5);
    std::printf("%-14s %-13s %4zu | %8.1f %8.1f %7.1f | %8.1f %8.1f %7.1f %8.1f | %6.2f %6.2f %6.2f\n", q.text, q.what,
                count, bench::percentile(ours, 0.5), bench::percentile(ours, 0.95), bench::percentile(cpu, 0.5), s50,
                s95, c50, bench::percentile(process, 0.5), s50 > 0 ? bench::percentile(ours, 0.5) / s50 : 0,
                s95 > 0 ? bench::percentile(ours, 0.95) / s95 : 0, c50 > 0 ? bench::percentile(cpu, 0.5) / c50 : 0);
  }
  double o95 = bench::percentile(allOurs, 0.95), s95 = bench::percentile(allShell, 0.95);
  std::printf(
      "all queries: ours p50 %.1f ms p95 %.1f ms (goal p95 < 80 ms); shell p50 %.1f ms p95 %.1f ms; "
      "ratio p95 %.2f (goal <= 1.3)\n\n",
      bench::percentile(allOurs, 0.5), o95, bench::percentile(allShell, 0.5), s95, s95 > 0 ? o95 / s95 : 0);
}

void benchChunks(const Options& o, const std::shared_ptr<FullDiskAccessController>& access, ContactStore& contacts) {
  ManualClock clock;
  clock.setWallNow(dateFromSecondsSince1970(o.now));
  MessageHistoryReader reader(access, clock);
  ContactNameLookup names = ContactNameLookup::build(contacts);
  MessageChunkBuilder builder(names, "UTC");
  ChunkCollectionOptions options;
  options.cutoff = MessageHistoryReader::rollingWindowCutoff(clock.wallNow(), "UTC");
  std::vector<double> rates, cpuRates;
  ChunkCollection last;
  for (int i = 0; i < 3; ++i) {
    double cpuStart = bench::processCpuSeconds();
    Steady::time_point start = Steady::now();
    auto collected = collectWindowChunks(reader, builder, options);
    double seconds = millisecondsSince(start) / 1e3;
    double cpuSeconds = bench::processCpuSeconds() - cpuStart;
    if (!collected.ok()) {
      std::printf("chunk building failed: %s\n", collected.error().description().c_str());
      return;
    }
    last = std::move(collected).value();
    rates.push_back(static_cast<double>(last.messageCount) / seconds);
    cpuRates.push_back(static_cast<double>(last.messageCount) / cpuSeconds);
  }
  std::printf(
      "Chunk building, whole window (read, decode, chunk, text and metadata): %lld messages in %lld "
      "conversations -> %zu chunks; median %.0f messages/s wall, %.0f per CPU second (goal >= 100000)\n",
      static_cast<long long>(last.messageCount), static_cast<long long>(last.chatCount), last.chunks.size(),
      bench::percentile(rates, 0.5), bench::percentile(cpuRates, 0.5));

  // The builder alone, over messages already read.
  std::vector<std::pair<ChatInfo, std::vector<RawMessage>>> chats;
  size_t total = 0;
  for (const ChatInfo& chat : reader.chatsWithCounts(0, options.cutoff).valueOr({})) {
    chats.emplace_back(chat, reader.chatMessages(chat.guid, 0, options.cutoff).valueOr({}));
    total += chats.back().second.size();
  }
  Steady::time_point start = Steady::now();
  size_t chunkCount = 0;
  for (const auto& [chat, messages] : chats)
    chunkCount += builder.buildRecords(messages, chat.guid, chat.displayName).size();
  double seconds = millisecondsSince(start) / 1e3;
  std::printf("Chunk builder alone: %zu messages -> %zu chunks in %.3f s: %.0f messages/s\n", total, chunkCount,
              seconds, static_cast<double>(total) / seconds);
}

int run(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--db") {
      o.db = next();
    } else if (a == "--vcf") {
      o.vcf = next();
    } else if (a == "--runs") {
      o.runs = std::max(1, std::atoi(next().c_str()));
    } else if (a == "--now") {
      o.now = std::atof(next().c_str());
    } else if (a == "--no-shell") {
      o.shell = false;
    } else {
      std::fprintf(stderr, "usage: messages_bench [--db PATH] [--vcf PATH] [--runs N] [--now SECONDS] [--no-shell]\n");
      return 2;
    }
  }
  if (!fs::exists(o.db)) {
    std::fprintf(stderr, "no database at %s; build the target messages_bench_fixture first\n", o.db.c_str());
    return 3;
  }
  if (o.shell && std::system("sqlite3 -version > /dev/null 2>&1") != 0) {
    std::fprintf(stderr, "the sqlite3 shell is missing (apt-get install sqlite3); or run with --no-shell\n");
    return 3;
  }
  const fs::path contactsDir = fs::temp_directory_path() / "messages_bench_contacts";
  fs::create_directories(contactsDir);
  fs::copy_file(o.vcf, contactsDir / "contacts.vcf", fs::copy_options::overwrite_existing);
  auto contacts = std::make_shared<VCardContactStore>(contactsDir.string());
  UserDefaults defaults;
  (void)defaults.set(FullDiskAccessController::kDatabasePathKey, o.db);
  auto access = std::make_shared<FullDiskAccessController>("/nonexistent", &defaults);
  ManualClock clock;
  clock.setWallNow(dateFromSecondsSince1970(o.now));
  MessageSearchService service({access, contacts, &clock, {}});
  std::printf("database %s (%.1f MB), %d contacts\n\n", o.db.c_str(), static_cast<double>(fs::file_size(o.db)) / 1e6,
              static_cast<int>(contacts->allContacts().value().size()));
  benchTextSearch(o, service);
  benchChunks(o, access, *contacts);
  return 0;
}

}  // namespace
}  // namespace pallix

int main(int argc, char** argv) {
  return pallix::run(argc, argv);
}
