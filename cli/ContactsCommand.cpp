// `pallix contacts`: the address book Pallix resolves message senders with,
// kept as vCard files in the data directory.
#include <iostream>

#include "app/platform/DataDirectories.h"
#include "app/platform/VCardContactStore.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix contacts import FILE.vcf [--json]\n"
    "       pallix contacts list [--json]\n\n"
    "import  checks that FILE holds vCards (2.1, 3.0 or 4.0; one or many cards) and copies it\n"
    "        into the Contacts folder of the data directory. Export FILE from your address\n"
    "        book (GNOME Contacts, Evolution, Thunderbird, a phone or iCloud all write .vcf).\n"
    "list    shows the contacts Pallix knows: names, phone numbers, e-mail addresses.\n\n"
    "Once imported, 'pallix search NAME' (and the panel) answer with matching contacts, found\n"
    "by name, nickname, organisation, phone number or e-mail address.\n\n"
    "Exit status: 0 done, 1 no contacts or the file could not be read, 2 bad arguments.\n";

nlohmann::json labeled(const std::vector<LabeledValue>& values) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& v : values) array.push_back({{"label", v.label}, {"value", v.value}});
  return array;
}

nlohmann::json toJson(const ContactRecord& c) {
  auto name = formattedFullName(c);
  return {{"identifier", c.identifier},
          {"name", name ? nlohmann::json(*name) : nlohmann::json(nullptr)},
          {"givenName", c.givenName},
          {"familyName", c.familyName},
          {"nickname", c.nickname},
          {"organization", c.organizationName},
          {"phoneNumbers", labeled(c.phoneNumbers)},
          {"emailAddresses", labeled(c.emailAddresses)},
          {"hasPhoto", c.thumbnailImageData.has_value()}};
}

int importFile(const DataDirectories& dirs, const std::vector<std::string>& rest, bool json) {
  if (rest.size() != 2) return usageError("contacts", "import takes one FILE");
  auto outcome = VCardContactStore::importFile(VCardContactStore::defaultFolder(dirs), rest[1]);
  if (!outcome.ok()) {
    printError(outcome.error().description(), "FILE must be a vCard file (BEGIN:VCARD ... END:VCARD).");
    return exitStatusFor(outcome.error());
  }
  if (json) {
    printJson({{"path", outcome->path},
               {"contactCount", outcome->contactCount},
               {"alreadyPresent", outcome->alreadyPresent},
               {"problems", outcome->problems}});
    return kExitOk;
  }
  if (outcome->alreadyPresent) {
    std::cout << "Already imported: " << printable(outcome->path) << " (" << outcome->contactCount << " contacts)\n";
  } else {
    std::cout << "Imported " << outcome->contactCount << (outcome->contactCount == 1 ? " contact" : " contacts")
              << " into " << printable(outcome->path) << "\n";
  }
  for (const std::string& problem : outcome->problems) std::cerr << "pallix: note: " << printable(problem) << "\n";
  return kExitOk;
}

int list(const DataDirectories& dirs, bool json) {
  VCardContactStore store(VCardContactStore::defaultFolder(dirs));
  ContactsAuthorizationStatus status = store.authorizationStatus();
  auto contacts = store.allContacts();
  auto report = store.loadReport();
  std::vector<ContactRecord> all = contacts.ok() ? contacts.value() : std::vector<ContactRecord>();
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& c : all) array.push_back(toJson(c));
    printJson(
        {{"status", rawValue(status)}, {"folder", store.folder()}, {"contacts", array}, {"problems", report.problems}});
    return all.empty() ? kExitFailure : kExitOk;
  }
  for (const std::string& problem : report.problems) std::cerr << "pallix: note: " << printable(problem) << "\n";
  if (all.empty()) {
    std::cout << "No contacts (" << rawValue(status) << "). Import an address book with "
              << "'pallix contacts import FILE.vcf'.\n";
    return kExitFailure;
  }
  for (const auto& c : all) {
    std::vector<std::string> details;
    for (const auto& p : c.phoneNumbers) details.push_back(p.value);
    for (const auto& e : c.emailAddresses) details.push_back(e.value);
    if (!c.organizationName.empty() && formattedFullName(c) != c.organizationName)
      details.push_back(c.organizationName);
    if (c.thumbnailImageData) details.push_back("photo");
    std::cout << printableColumn(formattedFullName(c).value_or("(no name)"), 28)
              << printable(joinStrings(details, ", ")) << "\n";
  }
  std::cout << all.size() << (all.size() == 1 ? " contact" : " contacts") << " in " << printable(store.folder())
            << "\n";
  return kExitOk;
}

int runContacts(Args& args) {
  bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("contacts", args.failure());
  if (rest.empty()) return usageError("contacts", "needs a subcommand: import or list");
  DataDirectories dirs = DataDirectories::fromEnvironment();
  if (rest[0] == "import") return importFile(dirs, rest, json);
  if (rest[0] == "list") {
    if (rest.size() != 1) return usageError("contacts", "list takes no arguments");
    return list(dirs, json);
  }
  return usageError("contacts", "unknown subcommand " + inQuotes(rest[0]));
}

}  // namespace

PALLIX_COMMAND("contacts", "import and list the contacts that name message senders and answer searches", kUsage,
               runContacts);

}  // namespace pallix::cli
