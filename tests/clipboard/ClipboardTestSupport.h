// Shared fixture of the clipboard tests: a service over a fake pasteboard
// and an in-memory (or file) store, in virtual time.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/clipboard/ClipboardService.h"
#include "app/platform/PersistentStore.h"
#include "app/search/CatalogSchema.h"
#include "core/NotificationCenter.h"
#include "testing/FakeLinkMetadataProvider.h"
#include "testing/FakePasteboard.h"
#include "testing/VirtualTime.h"

namespace pallix::testing {

inline PasteboardItem textItem(const std::string& text) {
  return PasteboardItem{{{kPlainTextUtf8Type, text}}};
}

struct ClipboardFixture {
  VirtualTimeEnvironment env;
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
  std::shared_ptr<FakeLinkMetadataProvider> provider = std::make_shared<FakeLinkMetadataProvider>();
  std::shared_ptr<ClipboardLinkPreviewStore> previews;
  std::unique_ptr<PersistentStore> db;
  std::shared_ptr<ClipboardStore> store;
  ClipboardSettings settings{true, 7};
  NotificationCenter center;
  std::function<Status()> reclaimSpace;  // none unless a test gives one
  std::unique_ptr<ClipboardService> service;
  std::shared_ptr<Pasteboard> servicePasteboard;  // what the service uses; the fake unless replaced
  TaskRunnerPtr captureRunner = env.makeRunner("capture");

  explicit ClipboardFixture(const std::string& storePath = ":memory:", const std::string& previewBase = "") {
    db = PersistentStore::open(storePath, catalogMigrationSteps()).value();
    store = std::make_shared<ClipboardStore>(*db);
    if (!previewBase.empty()) previews = std::make_shared<ClipboardLinkPreviewStore>(previewBase, 5, env.clock());
    servicePasteboard = pasteboard;
  }
  ~ClipboardFixture() {
    service.reset();
    store.reset();
  }
  void start() {
    ClipboardService::Dependencies deps;
    deps.runner = env.mainRunner();
    deps.metadataRunner = env.makeRunner("metadata");
    deps.captureRunner = captureRunner;
    deps.pasteboard = servicePasteboard;
    deps.store = store;
    deps.linkMetadata = provider;
    deps.previewStore = previews;
    deps.settings = [this] { return settings; };
    deps.notificationCenter = &center;
    deps.reclaimSpace = reclaimSpace;
    service = std::make_unique<ClipboardService>(std::move(deps));
    env.runUntilIdle();
  }
  // Another application copies `item`; the service polls it at once.
  void copy(PasteboardItem item) {
    pasteboard->setItem(std::move(item));
    env.runUntilIdle();
  }
  void copyText(const std::string& text) { copy(textItem(text)); }
  int64_t storedCount() { return store->count().value(); }
  std::vector<ClipboardItem> stored() { return store->fetchAll().value(); }
};

}  // namespace pallix::testing
