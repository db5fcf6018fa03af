#include "app/views/PanelPresenter.h"

#include <algorithm>

namespace pallix::views {
namespace {

bool hasSessionSelection(SectionKind kind) {
  return kind == SectionKind::apps || kind == SectionKind::files || kind == SectionKind::modeResults;
}

}  // namespace

PanelPresenter::PanelPresenter(ContentViewModel& model, Builder build) : model_(model), build_(std::move(build)) {}

void PanelPresenter::refresh() {
  PanelContent c = build_();
  bool focusPresent = false;
  for (const PanelSection& s : c.sections) focusPresent |= focus_ && s.kind == *focus_ && s.navigable();
  if (!focusChosenByUser_ || !focusPresent) {
    focus_ = defaultFocus(c);
    focusChosenByUser_ = false;
  }
  applyFocus(c, focus_, previewSelection_);
  content_ = std::make_shared<PanelContent>(std::move(c));
}

std::vector<RowRef> PanelPresenter::applySelectionChange() {
  std::vector<RowRef> changed;
  for (size_t si = 0; si < content_->sections.size(); ++si) {
    PanelSection& s = content_->sections[si];
    if (!hasSessionSelection(s.kind)) continue;
    const std::optional<std::string>& id = s.kind == SectionKind::apps    ? model_.selectedAppID()
                                           : s.kind == SectionKind::files ? model_.selectedFileID()
                                                                          : model_.selectedModeResultID();
    const bool shows = id && showsSessionSelection(s.kind, focus_);
    for (size_t ri = 0; ri < s.rows.size(); ++ri) {
      PanelRow& row = s.rows[ri];
      const bool selected = shows && row.identifier == *id;
      if (row.selected == selected) continue;
      row.selected = selected;
      changed.push_back({si, ri});
    }
  }
  return changed;
}

void PanelPresenter::textEdited() {
  focusChosenByUser_ = false;
  previewSelection_ = 0;
}

const PanelSection* PanelPresenter::focusedSection() const {
  if (!focus_) return nullptr;
  for (const PanelSection& s : content_->sections) {
    if (s.kind == *focus_) return &s;
  }
  return nullptr;
}

bool PanelPresenter::focusedSectionIsGrid() const {
  const PanelSection* s = focusedSection();
  return s && s->gridColumns > 0;
}

PanelPresenter::FocusedRows PanelPresenter::focusedRows() const {
  FocusedRows out;
  if (!focus_) return out;
  for (size_t si = 0; si < content_->sections.size(); ++si) {
    const PanelSection& s = content_->sections[si];
    if (s.kind != *focus_) continue;
    for (size_t ri = 0; ri < s.rows.size() && out.selected < 0; ++ri) {
      if (s.rows[ri].selected) out.selected = out.count + static_cast<int>(ri);
    }
    out.sizes.push_back(s.rows.size());
    out.sections.push_back(si);
    out.count += static_cast<int>(s.rows.size());
  }
  return out;
}

void PanelPresenter::advance(SectionKind kind, int by) {
  switch (kind) {
    case SectionKind::apps:
      return model_.advanceSelection(by);
    case SectionKind::files:
      return model_.advanceFileSelection(by);
    case SectionKind::modeResults:
      return model_.advanceModeSelection(by);
    default:
      return;
  }
}

void PanelPresenter::moveSelection(int dx, int dy) {
  const PanelSection* s = focusedSection();
  if (!s) {
    cycleFocus(1);
    return;
  }
  const SectionKind kind = s->kind;
  const FocusedRows rows = focusedRows();
  const int index = rows.selected;
  const int columns = s->gridColumns;
  // Past the first or last row of a list, the neighbouring section takes over.
  if (columns == 0 && dx == 0 &&
      ((dy > 0 && index == rows.count - 1) || (dy < 0 && index == 0) || kind == SectionKind::calculator)) {
    cycleFocus(dy);
    return;
  }
  int step = columns > 0 ? dx + dy * columns : dy;
  if (columns > 0 && index >= 0) step = movedInSectionedGrid(rows.sizes, columns, index, dx, dy) - index;
  switch (kind) {
    case SectionKind::filePreview:
    case SectionKind::messagePreview:
      previewSelection_ = std::clamp(previewSelection_ + step, 0, std::max(0, rows.count - 1));
      refresh();
      return;
    case SectionKind::calculator:
    case SectionKind::widget:
      return;
    default:
      // At the edge of the grid nothing moves, and nothing needs painting.
      if (step == 0 && index >= 0) return;
      advance(kind, step);
      return;
  }
}

void PanelPresenter::cycleFocus(int by) {
  std::vector<SectionKind> kinds;
  for (const PanelSection& s : content_->sections) {
    if (s.navigable() && std::find(kinds.begin(), kinds.end(), s.kind) == kinds.end()) kinds.push_back(s.kind);
  }
  if (kinds.empty()) return;
  int current = -1;
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (focus_ && kinds[i] == *focus_) current = static_cast<int>(i);
  }
  const int n = static_cast<int>(kinds.size());
  const int next = current < 0 ? 0 : ((current + by) % n + n) % n;
  const std::optional<SectionKind> previous = focus_;
  focus_ = kinds[static_cast<size_t>(next)];
  focusChosenByUser_ = true;
  switch (*focus_) {
    case SectionKind::apps:
      if (!model_.selectedAppID()) model_.advanceSelection(0);
      break;
    case SectionKind::files:
      model_.advanceFileSelection(0);
      break;
    case SectionKind::modeResults:
      model_.advanceModeSelection(0);
      break;
    default:
      previewSelection_ = 0;
      break;
  }
  // The same section keeps its content: its selection was marked above.
  if (previous != focus_ || !hasSessionSelection(*focus_)) refresh();
}

void PanelPresenter::selectRow(RowRef at) {
  if (at.section >= content_->sections.size()) return;
  const PanelSection& s = content_->sections[at.section];
  if (!s.navigable() || at.row >= s.rows.size()) return;
  const SectionKind kind = s.kind;
  focus_ = kind;
  focusChosenByUser_ = true;
  const FocusedRows rows = focusedRows();
  int flat = static_cast<int>(at.row);
  for (size_t i = 0; i < rows.sections.size() && rows.sections[i] < at.section; ++i) {
    flat += static_cast<int>(rows.sizes[i]);
  }
  switch (kind) {
    case SectionKind::files:
    case SectionKind::modeResults:
    case SectionKind::apps:
      if (rows.selected < 0) advance(kind, 0);
      advance(kind, flat - std::max(rows.selected, 0));
      return;
    default:
      previewSelection_ = static_cast<int>(at.row);
      return;
  }
}

}  // namespace pallix::views
