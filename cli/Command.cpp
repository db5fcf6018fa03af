#include "cli/Command.h"

#include <unicode/locid.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <iostream>

#include "cli/Display.h"
#include "core/Strings.h"
#include "core/Utf8.h"

namespace pallix::cli {

void useUserLocale() {
  std::setlocale(LC_ALL, "");
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string locale(value);
    if (locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0) break;
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(locale.substr(0, locale.find('.')).c_str()), status);
    return;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("en_US"), status);
}

std::optional<int> runRegisteredCommand(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  const auto& commands = CommandRegistry::instance().commands();
  auto it = commands.find(argv[1]);
  if (it == commands.end()) return std::nullopt;
  std::vector<std::string> rest(argv + 2, argv + argc);
  for (const auto& a : rest) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") {
      std::cout << it->second.usage;
      if (!it->second.usage.empty() && it->second.usage.back() != '\n') std::cout << "\n";
      return kExitOk;
    }
  }
  Args args(std::move(rest));
  return it->second.run(args);
}

CommandRegistry& CommandRegistry::instance() {
  static CommandRegistry registry;
  return registry;
}

bool Args::flag(const std::string& name) {
  bool found = false;
  for (auto it = args_.begin(); it != args_.end();) {
    if (*it == name) {
      found = true;
      it = args_.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

std::optional<std::string> Args::option(const std::string& name) {
  for (auto it = args_.begin(); it != args_.end(); ++it) {
    if (*it == "--") break;
    if (*it == name) {
      if (it + 1 == args_.end()) {
        failed_ = true;
        failure_ = name + " needs a value";
        args_.erase(it);
        return std::nullopt;
      }
      std::string value = *(it + 1);
      args_.erase(it, it + 2);
      return value;
    }
    if (it->rfind(name + "=", 0) == 0) {
      std::string value = it->substr(name.size() + 1);
      args_.erase(it);
      return value;
    }
  }
  return std::nullopt;
}

std::optional<long long> Args::intOption(const std::string& name) {
  auto text = option(name);
  if (!text) return std::nullopt;
  try {
    size_t used = 0;
    long long v = std::stoll(*text, &used);
    if (used == text->size()) return v;
  } catch (...) {
  }
  failed_ = true;
  failure_ = name + " expects a whole number, got " + inQuotes(*text);
  return std::nullopt;
}

std::vector<std::string> Args::positionals() {
  std::vector<std::string> out;
  bool literal = false;
  for (const auto& a : args_) {
    if (!literal && a == "--") {
      literal = true;
      continue;
    }
    if (!literal && a.size() > 1 && a[0] == '-' && a[1] == '-' && !failed_) {
      failed_ = true;
      failure_ = "unknown option " + a;
      continue;
    }
    out.push_back(a);
  }
  return out;
}

void printError(const std::string& message, const std::string& hint) {
  // Messages quote paths and queries; they are escaped like any other output.
  std::cerr << "pallix: " << printable(message) << "\n";
  if (!hint.empty()) std::cerr << "  " << printable(hint) << "\n";
}

int exitStatusFor(const Error& error) {
  switch (error.canonical()) {
    case ErrorCode::invalidArgument:
      return kExitUsage;
    case ErrorCode::notFound:
    case ErrorCode::damaged:
    case ErrorCode::unavailable:
      return kExitUnavailable;
    case ErrorCode::cancelled:
      return kExitInterrupted;
    case ErrorCode::busy:
    case ErrorCode::permission:
    case ErrorCode::internal:
      return kExitFailure;
  }
  return kExitFailure;
}

int usageError(const std::string& command, const std::string& message) {
  printError(command + ": " + message, "Run 'pallix " + command + " --help' for usage.");
  return kExitUsage;
}

namespace {

// JSON holds only UTF-8, while names from the file system may hold any
// byte. A member whose text is not UTF-8 is written with U+FFFD for the bad
// bytes, and "KEYBytes" beside it gives its exact bytes in hexadecimal, so a
// script can still open the file.
void addRawBytes(nlohmann::json& value) {
  if (value.is_array()) {
    for (auto& element : value) addRawBytes(element);
    return;
  }
  if (!value.is_object()) return;
  std::vector<std::pair<std::string, std::string>> raw;
  for (auto& [key, member] : value.items()) {
    if (member.is_string()) {
      const auto& text = member.get_ref<const std::string&>();
      if (!isValidUtf8(text)) raw.emplace_back(key, text);
    } else {
      addRawBytes(member);
    }
  }
  for (auto& [key, text] : raw) {
    value[key] = toValidUtf8(text);
    if (!value.contains(key + "Bytes")) value[key + "Bytes"] = toHex(text);
  }
}

}  // namespace

std::string jsonText(nlohmann::json value, int indent) {
  addRawBytes(value);
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

void printJson(const nlohmann::json& value) {
  std::cout << jsonText(value, 2) << "\n";
}

bool stdoutIsTerminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

void printProgress(const std::string& line) {
  if (::isatty(STDERR_FILENO) != 1) return;
  std::cerr << "\r\033[K" << line << std::flush;
}

void clearProgress() {
  if (::isatty(STDERR_FILENO) != 1) return;
  std::cerr << "\r\033[K" << std::flush;
}

}  // namespace pallix::cli
