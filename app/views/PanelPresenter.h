// PanelPresenter: the panel's view model, between the session and the
// widgets. It builds the PanelContent once per refresh, keeps which section
// has the focus and the row of the standard mode's previews, and turns arrow
// keys, Tab and clicks into the session's selection moves: grid moves go on
// from one section into the next (the emoji grid's recents and categories).
// When the session moves a selection without changing its results, the
// content is not rebuilt: only the marks of the rows that changed are.
// No toolkit: the widgets paint the content and report what was hit.
//
// Threading: the GUI thread (the main thread). The session outlives it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/search/ContentViewModel.h"
#include "app/views/PanelContent.h"

namespace pallix::views {

struct RowRef {
  size_t section = 0;
  size_t row = 0;
  friend bool operator==(const RowRef&, const RowRef&) = default;
};

class PanelPresenter {
 public:
  // Builds the content without a focus (buildPanelContent); tests count
  // the builds through it.
  using Builder = std::function<PanelContent()>;

  PanelPresenter(ContentViewModel& model, Builder build);

  // Rebuilds from the session's state, choosing the focus again unless the
  // user chose one that is still there.
  void refresh();
  // After the session moved a selection and kept its results: marks the
  // new row, clears the old one, and answers the rows whose mark changed.
  std::vector<RowRef> applySelectionChange();
  const PanelContent& content() const { return *content_; }
  // The same content, for the view that paints it.
  std::shared_ptr<const PanelContent> sharedContent() const { return content_; }

  // The text was edited: the focus and the preview row start afresh.
  void textEdited();
  // An arrow key: (dx, dy) one cell or row.
  void moveSelection(int dx, int dy);
  // Tab and Shift+Tab: the next or previous navigable section.
  void cycleFocus(int by);
  // A click on a row: it gets the focus and the selection.
  void selectRow(RowRef at);
  std::optional<SectionKind> focus() const { return focus_; }
  const PanelSection* focusedSection() const;
  int previewSelection() const { return previewSelection_; }
  bool focusedSectionIsGrid() const;

 private:
  // The sections of the focused kind: their sizes and the flat index of the
  // marked row among them (-1: none).
  struct FocusedRows {
    std::vector<size_t> sizes;
    std::vector<size_t> sections;
    int selected = -1;
    int count = 0;
  };
  FocusedRows focusedRows() const;
  void advance(SectionKind kind, int by);

  ContentViewModel& model_;
  Builder build_;
  std::shared_ptr<PanelContent> content_ = std::make_shared<PanelContent>();
  std::optional<SectionKind> focus_;
  bool focusChosenByUser_ = false;
  int previewSelection_ = 0;
};

}  // namespace pallix::views
