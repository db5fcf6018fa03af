// PanelContent: what the panel shows, read from the session and the
// intelligence store: sections of rows (or a grid), each row marked when the
// session selects it. A pure projection (no toolkit, no search logic): the
// views paint it and map keys to the session's own selection operations.
//
// Threading: built on the main thread, from state that lives there.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/intelligence/PanelIntelligenceStore.h"
#include "app/search/ContentViewModel.h"
#include "app/search/MatchReason.h"

namespace pallix::views {

// Which of the session's selections a section's rows belong to.
enum class SectionKind { calculator, widget, apps, filePreview, files, modeResults, messagePreview };

struct PanelRow {
  std::string title;
  std::string detail;
  std::string tag;    // the match type of a file ("prefix"), a widget's source
  std::string glyph;  // a large character drawn instead of an icon (emoji, "=")
  std::optional<IndexedItem> item;
  bool selected = false;
  // What the session selects it by (an app's or a file's path, a mode
  // result's identifier); empty for rows without a selection of their own.
  std::string identifier;
  // Runs of the title and of the detail to highlight (why the row matched).
  std::vector<TextSpan> titleHighlights;
  std::vector<TextSpan> detailHighlights;
  // A mode result's tile and detail pane (clipboard rows); null otherwise.
  std::shared_ptr<const ModeResultMedia> media;
};

struct PanelSection {
  SectionKind kind = SectionKind::apps;
  std::string title;
  std::vector<PanelRow> rows;
  int gridColumns = 0;  // 0: a list
  bool navigable() const { return kind != SectionKind::widget && !rows.empty(); }
};

struct PanelContent {
  SearchMode mode = SearchMode::standard;
  std::string placeholder;
  // Files mode: the filters searched with the field's words, shown as chips
  // before the field.
  std::vector<std::string> filterChips;
  std::vector<PanelSection> sections;
  std::string emptyText;  // shown when there are no sections
};

inline constexpr int kAppGridColumns = 6;
inline constexpr int kEmojiGridColumns = 9;
// The app tiles that fit the panel without scrolling.
inline constexpr size_t kAppGridLimit = 18;
inline constexpr size_t kFilePreviewLimit = 4;

// `previewSelection` is the row of the files or messages preview the panel
// selects in standard mode (previews have no selection in the session).
// `focus` names the section whose selection is shown.
PanelContent buildPanelContent(const ContentViewModel& model, const PanelIntelligenceStore* intelligence,
                               std::optional<SectionKind> focus, int previewSelection);
// The same without a focus: the session's own selections are marked (apps,
// files, mode results), the calculator and the previews are not.
PanelContent buildPanelContent(const ContentViewModel& model, const PanelIntelligenceStore* intelligence);
// Marks the selections `focus` shows on content built without a focus: the
// apps' unless another section has the focus; the calculator's and the
// previews' (row `previewSelection`) only with it.
void applyFocus(PanelContent& content, std::optional<SectionKind> focus, int previewSelection);
// Whether a section of `kind` shows its session's selection under `focus`.
bool showsSessionSelection(SectionKind kind, std::optional<SectionKind> focus);

// An arrow key in a grid cut into consecutive sections of `sizes` cells,
// `columns` wide, each section starting a new line: the flat index the
// selection at flat `index` moves to. Left and right step through the cells
// (on into the neighbouring section); up and down keep the column, from a
// section's first or last line into the neighbouring section's last or first
// line (the last cell when that line is shorter); past the first or last
// line of the grid the selection stays.
int movedInSectionedGrid(const std::vector<size_t>& sizes, int columns, int index, int dx, int dy);

// The section a fresh query focuses: apps when one is selected, else the
// calculator, else the first navigable one.
std::optional<SectionKind> defaultFocus(const PanelContent& content);

const char* modeTitle(SearchMode mode);

// What the detail pane shows: the selected row's media in clipboard mode;
// null in other modes and without a selection.
std::shared_ptr<const ModeResultMedia> selectedDetail(const PanelContent& content);

}  // namespace pallix::views
