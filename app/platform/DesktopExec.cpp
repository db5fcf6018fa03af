#include "app/platform/DesktopExec.h"

#include "core/Strings.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "DesktopExecError";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> localPath(const std::string& target) {
  if (!target.empty() && target.front() == '/') return target;
  return localPathFromFileURL(target);
}

}  // namespace

std::optional<std::string> localPathFromFileURL(const std::string& url) {
  if (asciiLowercase(url.substr(0, 7)) != "file://") return std::nullopt;
  std::string rest = url.substr(7);
  if (startsWith(rest, "localhost/")) rest = rest.substr(9);
  if (rest.empty() || rest.front() != '/') return std::nullopt;
  std::string out;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '?' || rest[i] == '#') break;
    if (rest[i] != '%') {
      out += rest[i];
      continue;
    }
    if (i + 2 >= rest.size()) return std::nullopt;
    int hi = hexValue(rest[i + 1]), lo = hexValue(rest[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    char decoded = static_cast<char>(hi * 16 + lo);
    if (decoded == '\0') return std::nullopt;
    out += decoded;
    i += 2;
  }
  return out;
}

std::string fileURLFromPath(const std::string& path) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out = "file://";
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                c == '_' || c == '~' || c == '/';
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

Result<std::vector<std::string>> splitDesktopExec(const std::string& exec) {
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;
  for (size_t i = 0; i < exec.size(); ++i) {
    char c = exec[i];
    if (isBlank(c)) {
      if (inArgument) args.push_back(std::move(current));
      current.clear();
      inArgument = false;
      continue;
    }
    inArgument = true;
    if (c == '"') {
      size_t j = i + 1;
      for (; j < exec.size() && exec[j] != '"'; ++j) {
        if (exec[j] == '\\' && j + 1 < exec.size()) {
          char next = exec[j + 1];
          if (next == '"' || next == '`' || next == '$' || next == '\\') {
            current += next;
            ++j;
            continue;
          }
        }
        current += exec[j];
      }
      if (j >= exec.size()) {
        return Error(kDomain, 1, "Unterminated double quote in Exec \"" + exec + "\"");
      }
      i = j;
    } else if (c == '\'') {
      size_t end = exec.find('\'', i + 1);
      if (end == std::string::npos) return Error(kDomain, 1, "Unterminated single quote in Exec \"" + exec + "\"");
      current += exec.substr(i + 1, end - i - 1);
      i = end;
    } else if (c == '\\' && i + 1 < exec.size()) {
      current += exec[++i];
    } else {
      current += c;
    }
  }
  if (inArgument) args.push_back(std::move(current));
  if (args.empty()) return Error(kDomain, 2, "Empty Exec command line");
  return args;
}

Result<std::vector<std::string>> expandDesktopExec(const std::string& exec, const DesktopExecContext& context) {
  PALLIX_ASSIGN_OR_RETURN(std::vector<std::string> args, splitDesktopExec(exec));
  std::vector<std::string> localPaths;
  for (const auto& target : context.targets) {
    if (auto path = localPath(target)) localPaths.push_back(*path);
  }

  std::vector<std::string> out;
  for (const auto& arg : args) {
    if (arg == "%F") {
      out.insert(out.end(), localPaths.begin(), localPaths.end());
      continue;
    }
    if (arg == "%U") {
      out.insert(out.end(), context.targets.begin(), context.targets.end());
      continue;
    }
    if (arg == "%i") {
      if (context.icon && !context.icon->empty()) {
        out.push_back("--icon");
        out.push_back(*context.icon);
      }
      continue;
    }
    std::string expanded;
    bool literal = arg.empty();  // an explicit "" argument is kept
    for (size_t i = 0; i < arg.size(); ++i) {
      if (arg[i] != '%' || i + 1 == arg.size()) {
        expanded += arg[i];
        literal = true;
        continue;
      }
      switch (arg[++i]) {
        case 'f':
        case 'F':
          if (!localPaths.empty()) expanded += localPaths.front();
          break;
        case 'u':
        case 'U':
          if (!context.targets.empty()) expanded += context.targets.front();
          break;
        case 'c':
          expanded += context.name;
          break;
        case 'k':
          expanded += context.desktopFilePath;
          break;
        case '%':
          expanded += '%';
          literal = true;
          break;
        default:
          break;  // %i embedded, deprecated and unknown codes
      }
    }
    if (literal || !expanded.empty()) out.push_back(std::move(expanded));
  }
  if (out.empty() || out.front().empty()) {
    return Error(kDomain, 3, "Exec \"" + exec + "\" leaves no program to run");
  }
  return out;
}

}  // namespace pallix
