// VCardContactStore: the address book on Linux, read from the vCard files
// (*.vcf, one or many cards each) in one folder, by default "Contacts" in
// the data directory.
//
// Authorisation follows what is there: no folder or no cards gives
// "notDetermined" (fetches return nothing, names stay empty), a folder this
// process cannot read gives "denied", and readable cards give "authorized".
// The folder is read on first use and read again whenever its listing (file
// names, sizes, modification times) changes, so an import by another process
// is seen without a restart. Thread-safe; fetches may read files.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/ContactStore.h"
#include "app/platform/DataDirectories.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

class VCardContactStore final : public ContactStore {
 public:
  static constexpr const char* kFolderName = "Contacts";

  explicit VCardContactStore(std::string folder);
  static std::string defaultFolder(const DataDirectories& dirs) { return dirs.data + "/" + kFolderName; }

  const std::string& folder() const { return folder_; }

  ContactsAuthorizationStatus authorizationStatus() const override;
  bool requestAccess() override;
  Result<std::vector<ContactRecord>> contactsMatchingName(std::string_view name) override;
  Result<std::vector<ContactRecord>> contactsMatchingPhoneNumber(std::string_view phoneNumber) override;
  Result<std::vector<ContactRecord>> contactsMatchingEmailAddress(std::string_view emailAddress) override;
  Result<std::vector<ContactRecord>> allContacts() override;

  // What the last read of the folder found.
  struct LoadReport {
    std::vector<std::string> files;     // paths read, in name order
    std::vector<std::string> problems;  // "family.vcf: line 12: ..."
  };
  LoadReport loadReport() const;

  struct ImportOutcome {
    std::string path;  // the copy in the folder
    size_t contactCount = 0;
    bool alreadyPresent = false;  // an identical copy was there already
    std::vector<std::string> problems;
  };
  // Copies `file` into `folder` (created if missing) after checking that it
  // holds at least one readable card. An existing file of the same name with
  // other contents is kept; the copy gets a numbered name instead.
  static Result<ImportOutcome> importFile(const std::string& folder, const std::string& file);

 private:
  struct Listing {
    bool folderExists = false;
    bool readable = false;
    std::vector<std::pair<std::string, std::string>> entries;  // path, "size:mtime"
    friend bool operator==(const Listing&, const Listing&) = default;
  };
  Listing list() const;
  // Re-reads the folder when its listing changed. Requires mutex_.
  void refreshLocked() const REQUIRES(mutex_);
  template <typename F>
  Result<std::vector<ContactRecord>> fetch(F select);

  std::string folder_;
  mutable Mutex mutex_;
  mutable std::optional<Listing> loaded_ GUARDED_BY(mutex_);
  mutable std::vector<ContactRecord> contacts_ GUARDED_BY(mutex_);
  mutable LoadReport report_ GUARDED_BY(mutex_);
  mutable ContactsAuthorizationStatus status_ GUARDED_BY(mutex_) = ContactsAuthorizationStatus::notDetermined;
};

}  // namespace pallix
