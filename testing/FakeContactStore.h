// FakeContactStore: an address book in memory, for tests. The status, the
// records and an injected failure can be changed at any time; every fetch is
// recorded so tests can see which look-ups happened. Thread-safe.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/ContactStore.h"

namespace pallix {

class FakeContactStore final : public ContactStore {
 public:
  enum class Fetch { name, phoneNumber, emailAddress, all };
  struct Request {
    Fetch kind;
    std::string argument;
    friend bool operator==(const Request&, const Request&) = default;
  };

  explicit FakeContactStore(std::vector<ContactRecord> contacts = {},
                            ContactsAuthorizationStatus status = ContactsAuthorizationStatus::authorized)
      : contacts_(std::move(contacts)), status_(status) {}

  ContactsAuthorizationStatus authorizationStatus() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }
  bool requestAccess() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++accessRequests_;
    }
    return authorizationStatus() == ContactsAuthorizationStatus::authorized;
  }
  Result<std::vector<ContactRecord>> contactsMatchingName(std::string_view name) override {
    return fetch({Fetch::name, std::string(name)}, [&](const auto& all) { return ContactMatcher::byName(all, name); });
  }
  Result<std::vector<ContactRecord>> contactsMatchingPhoneNumber(std::string_view number) override {
    return fetch({Fetch::phoneNumber, std::string(number)},
                 [&](const auto& all) { return ContactMatcher::byPhoneNumber(all, number); });
  }
  Result<std::vector<ContactRecord>> contactsMatchingEmailAddress(std::string_view email) override {
    return fetch({Fetch::emailAddress, std::string(email)},
                 [&](const auto& all) { return ContactMatcher::byEmailAddress(all, email); });
  }
  Result<std::vector<ContactRecord>> allContacts() override {
    return fetch({Fetch::all, {}}, [](const auto& all) { return all; });
  }

  void setStatus(ContactsAuthorizationStatus status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
  }
  void setContacts(std::vector<ContactRecord> contacts) {
    std::lock_guard<std::mutex> lock(mutex_);
    contacts_ = std::move(contacts);
  }
  // Every fetch from now on fails with `error`; nullopt clears it.
  void failWith(std::optional<Error> error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(error);
  }
  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  int accessRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accessRequests_;
  }
  void clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
  }

 private:
  template <typename F>
  Result<std::vector<ContactRecord>> fetch(Request request, F select) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
    if (failure_) return *failure_;
    return select(contacts_);
  }

  mutable std::mutex mutex_;
  std::vector<ContactRecord> contacts_;
  ContactsAuthorizationStatus status_;
  std::optional<Error> failure_;
  std::vector<Request> requests_;
  int accessRequests_ = 0;
};

}  // namespace pallix
