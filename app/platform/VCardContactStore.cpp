#include "app/platform/VCardContactStore.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "app/platform/VCard.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

// Thousands of contacts with photos take tens of megabytes.
constexpr uint64_t kMaximumVCardFileSize = uint64_t{64} << 20;

bool hasVCardExtension(const std::string& name) {
  return name.size() > 4 && asciiLowercase(name.substr(name.size() - 4)) == ".vcf";
}

std::string baseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

VCardContactStore::VCardContactStore(std::string folder) : folder_(std::move(folder)) {}

VCardContactStore::Listing VCardContactStore::list() const {
  Listing listing;
  struct stat st {};
  if (::stat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return listing;
  listing.folderExists = true;
  DIR* dir = ::opendir(folder_.c_str());
  if (!dir) return listing;
  listing.readable = true;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.empty() || name[0] == '.' || !hasVCardExtension(name)) continue;
    std::string path = folder_ + "/" + name;
    struct stat fst {};
    if (::stat(path.c_str(), &fst) != 0 || !S_ISREG(fst.st_mode)) continue;
    listing.entries.emplace_back(path, std::to_string(fst.st_size) + ":" + std::to_string(fst.st_mtim.tv_sec) + "." +
                                           std::to_string(fst.st_mtim.tv_nsec));
  }
  ::closedir(dir);
  std::sort(listing.entries.begin(), listing.entries.end());
  return listing;
}

void VCardContactStore::refreshLocked() const {
  Listing listing = list();
  if (loaded_ && *loaded_ == listing) return;
  loaded_ = listing;
  contacts_.clear();
  report_ = {};
  if (!listing.folderExists) {
    status_ = ContactsAuthorizationStatus::notDetermined;
    return;
  }
  if (!listing.readable) {
    report_.problems.push_back(folder_ + ": cannot be read");
    status_ = ContactsAuthorizationStatus::denied;
    return;
  }
  bool unreadableFile = false;
  for (const auto& [path, stamp] : listing.entries) {
    auto text = readRegularFile(path, kMaximumVCardFileSize);
    if (!text.ok()) {
      report_.problems.push_back(baseName(path) + ": " + text.error().description());
      unreadableFile = true;
      continue;
    }
    report_.files.push_back(path);
    VCardParseResult parsed = parseVCards(text.value(), baseName(path));
    for (std::string& problem : parsed.problems) report_.problems.push_back(baseName(path) + ": " + problem);
    for (ContactRecord& c : parsed.contacts) contacts_.push_back(std::move(c));
  }
  if (!contacts_.empty()) {
    status_ = ContactsAuthorizationStatus::authorized;
  } else {
    status_ = unreadableFile ? ContactsAuthorizationStatus::denied : ContactsAuthorizationStatus::notDetermined;
  }
}

ContactsAuthorizationStatus VCardContactStore::authorizationStatus() const {
  MutexLock lock(mutex_);
  refreshLocked();
  return status_;
}

bool VCardContactStore::requestAccess() {
  return authorizationStatus() == ContactsAuthorizationStatus::authorized;
}

VCardContactStore::LoadReport VCardContactStore::loadReport() const {
  MutexLock lock(mutex_);
  refreshLocked();
  return report_;
}

template <typename F>
Result<std::vector<ContactRecord>> VCardContactStore::fetch(F select) {
  MutexLock lock(mutex_);
  refreshLocked();
  if (status_ != ContactsAuthorizationStatus::authorized) return std::vector<ContactRecord>();
  return select(contacts_);
}

Result<std::vector<ContactRecord>> VCardContactStore::contactsMatchingName(std::string_view name) {
  return fetch([&](const auto& all) { return ContactMatcher::byName(all, name); });
}

Result<std::vector<ContactRecord>> VCardContactStore::contactsMatchingPhoneNumber(std::string_view phoneNumber) {
  return fetch([&](const auto& all) { return ContactMatcher::byPhoneNumber(all, phoneNumber); });
}

Result<std::vector<ContactRecord>> VCardContactStore::contactsMatchingEmailAddress(std::string_view emailAddress) {
  return fetch([&](const auto& all) { return ContactMatcher::byEmailAddress(all, emailAddress); });
}

Result<std::vector<ContactRecord>> VCardContactStore::allContacts() {
  return fetch([](const auto& all) { return all; });
}

Result<VCardContactStore::ImportOutcome> VCardContactStore::importFile(const std::string& folder,
                                                                       const std::string& file) {
  auto text = readRegularFile(file, kMaximumVCardFileSize);
  if (!text.ok())
    return Error("ContactImportError", 1, "Cannot read " + inQuotes(file) + ": " + text.error().description());
  VCardParseResult parsed = parseVCards(text.value(), baseName(file));
  if (parsed.contacts.empty()) {
    std::string why = parsed.problems.empty() ? "no BEGIN:VCARD ... END:VCARD card in it" : parsed.problems.front();
    return Error("ContactImportError", 2, "No contacts found in " + inQuotes(file) + " (" + why + ")");
  }
  PALLIX_RETURN_IF_ERROR(createDirectories(folder));
  std::string name = baseName(file);
  if (!hasVCardExtension(name)) name += ".vcf";
  std::string stem = name.substr(0, name.size() - 4);
  ImportOutcome outcome;
  outcome.contactCount = parsed.contacts.size();
  outcome.problems = std::move(parsed.problems);
  for (int attempt = 1;; ++attempt) {
    std::string candidate = folder + "/" + (attempt == 1 ? name : stem + "-" + std::to_string(attempt) + ".vcf");
    if (!fileExists(candidate)) {
      outcome.path = candidate;
      break;
    }
    auto existing = readRegularFile(candidate, kMaximumVCardFileSize);
    if (existing.ok() && existing.value() == text.value()) {
      outcome.path = candidate;
      outcome.alreadyPresent = true;
      return outcome;
    }
  }
  Status written = writeFileAtomically(outcome.path, text.value());
  if (!written.ok())
    return Error("ContactImportError", 3,
                 "Cannot write " + inQuotes(outcome.path) + ": " + written.error().description());
  return outcome;
}

}  // namespace pallix
