#include "app/views/PanelContent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/search/FileMatchReason.h"
#include "core/Strings.h"

namespace pallix::views {
namespace {

PanelRow fileRow(const FileSearchResult& r, bool selected) {
  const char* home = std::getenv("HOME");
  FileRowLines lines = fileRowLines(r, home ? home : "");
  PanelRow row;
  row.title = std::move(lines.title);
  row.titleHighlights = std::move(lines.titleHighlights);
  row.detail = std::move(lines.detail);
  row.detailHighlights = std::move(lines.detailHighlights);
  row.item = r.item;
  row.selected = selected;
  row.identifier = r.item.path;
  return row;
}

std::string emptyModeText(const ContentViewModel& model, SearchMode mode, bool hasQuery) {
  if (model.isModeSearchPending()) return "Loading\u2026";
  if (hasQuery) return "No results for \u201c" + model.searchText() + "\u201d";
  switch (mode) {
    case SearchMode::messages:
      return "Type to search your messages. None yet? Import a phone backup: pallix messages import-backup DIR";
    case SearchMode::clipboard:
      return "Nothing copied yet: what you copy shows here";
    default:
      return "No emoji found";
  }
}

std::string temperature(double celsius) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f °C", std::round(celsius));
  return buf;
}

void addWidgets(const PanelIntelligenceStore& store, std::vector<PanelSection>& out) {
  const IntelligencePresentationState& s = store.intelligenceState();
  if (s.weatherSnapshot) {
    PanelRow row;
    row.title = s.weatherSnapshot->location.name;
    if (s.weatherSnapshot->current) {
      row.title += "  " + temperature(s.weatherSnapshot->current->temperature);
      row.detail = s.weatherSnapshot->current->condition;
    }
    row.tag = "weather";
    out.push_back({SectionKind::widget, "Weather", {row}, 0});
  }
  if (s.dictionaryResult) {
    out.push_back({SectionKind::widget,
                   "Dictionary",
                   {PanelRow{s.dictionaryResult->term, s.dictionaryResult->definition, "dictionary", "", {}, false}},
                   0});
  }
  if (s.wikipediaArticle) {
    out.push_back({SectionKind::widget,
                   "Encyclopedia",
                   {PanelRow{s.wikipediaArticle->title, s.wikipediaArticle->extract, "wikipedia", "", {}, false}},
                   0});
  }
  PanelSection places{SectionKind::widget, "Places", {}, 0};
  for (const auto& p : s.mapResults) places.rows.push_back({p.name, p.subtitle.value_or(""), "maps", "", {}, false});
  if (auto notice = s.notices.find(VCRDataSourceIdentifier::maps); places.rows.empty() && notice != s.notices.end()) {
    // The source's own words below a plain title, with the hourglass of "wait", not an empty icon slot.
    places.rows.push_back({"Places can\u2019t be searched right now", notice->second, "maps", "\u23F3", {}, false});
  }
  if (!places.rows.empty()) out.push_back(places);
  PanelSection events{SectionKind::widget, "Calendar", {}, 0};
  for (const auto& e : s.calendarResults) {
    events.rows.push_back({e.title, e.location.value_or(e.calendarTitle.value_or("")), "calendar", "", {}, false});
  }
  if (!events.rows.empty()) out.push_back(events);
  PanelSection contacts{SectionKind::widget, "Contacts", {}, 0};
  for (const auto& c : s.contactResults) {
    // What matched (or the first number), and the organisation when it says more.
    std::string detail = c.detail;
    const std::string& org = c.contact.organizationName;
    if (!org.empty() && org != c.detail && org != c.name) detail += (detail.empty() ? "" : " \u00B7 ") + org;
    contacts.rows.push_back({c.name, detail, "contacts", "", {}, false});
  }
  if (!contacts.rows.empty()) out.push_back(contacts);
}

}  // namespace

const char* modeTitle(SearchMode mode) {
  switch (mode) {
    case SearchMode::standard:
      return "Search";
    case SearchMode::clipboard:
      return "Clipboard";
    case SearchMode::emoji:
      return "Emoji";
    case SearchMode::messages:
      return "Messages";
    case SearchMode::files:
      return "Files";
  }
  return "Search";
}

PanelContent buildPanelContent(const ContentViewModel& model, const PanelIntelligenceStore* intelligence,
                               std::optional<SectionKind> focus, int previewSelection) {
  PanelContent c = buildPanelContent(model, intelligence);
  applyFocus(c, focus, previewSelection);
  return c;
}

bool showsSessionSelection(SectionKind kind, std::optional<SectionKind> focus) {
  switch (kind) {
    case SectionKind::apps:
      return !focus || *focus == SectionKind::apps;
    case SectionKind::files:
    case SectionKind::modeResults:
      return true;
    default:
      return false;
  }
}

void applyFocus(PanelContent& content, std::optional<SectionKind> focus, int previewSelection) {
  for (PanelSection& s : content.sections) {
    switch (s.kind) {
      case SectionKind::apps:
        if (!showsSessionSelection(s.kind, focus)) {
          for (PanelRow& row : s.rows) row.selected = false;
        }
        break;
      case SectionKind::calculator:
        for (PanelRow& row : s.rows) row.selected = focus == SectionKind::calculator;
        break;
      case SectionKind::filePreview:
      case SectionKind::messagePreview:
        for (size_t i = 0; i < s.rows.size(); ++i) {
          s.rows[i].selected = focus == s.kind && static_cast<int>(i) == previewSelection;
        }
        break;
      default:
        break;
    }
  }
}

int movedInSectionedGrid(const std::vector<size_t>& sizes, int columns, int index, int dx, int dy) {
  int total = 0;
  for (size_t n : sizes) total += static_cast<int>(n);
  if (total == 0 || columns <= 0) return index;
  if (index < 0 || index >= total) return std::clamp(index, 0, total - 1);
  if (dx != 0) return std::clamp(index + dx, 0, total - 1);
  if (dy == 0) return index;
  // The section of `index`, its first flat index, and the line and column within it.
  size_t section = 0;
  int start = 0;
  while (index >= start + static_cast<int>(sizes[section])) start += static_cast<int>(sizes[section++]);
  const int size = static_cast<int>(sizes[section]);
  const int local = index - start, line = local / columns, column = local % columns;
  const int lines = (size + columns - 1) / columns;
  if (dy > 0 && line + 1 < lines) return start + std::min((line + 1) * columns + column, size - 1);
  if (dy < 0 && line > 0) return start + (line - 1) * columns + column;
  if (dy > 0) {
    int next = start + size;
    for (size_t s = section + 1; s < sizes.size(); next += static_cast<int>(sizes[s++])) {
      if (sizes[s] > 0) return next + std::min(column, static_cast<int>(sizes[s]) - 1);
    }
    return index;
  }
  int previousEnd = start;
  for (size_t s = section; s-- > 0;) {
    const int n = static_cast<int>(sizes[s]);
    previousEnd -= n;
    if (n == 0) continue;
    const int lastLineStart = ((n - 1) / columns) * columns;
    return previousEnd + std::min(lastLineStart + column, n - 1);
  }
  return index;
}

PanelContent buildPanelContent(const ContentViewModel& model, const PanelIntelligenceStore* intelligence) {
  PanelContent c;
  c.mode = model.searchMode();
  const bool hasQuery = !model.searchText().empty() && model.searchText().find_first_not_of(" \t") != std::string::npos;

  switch (c.mode) {
    case SearchMode::standard: {
      c.placeholder = "Search apps, files and answers";
      if (intelligence && intelligence->intelligenceState().calculatorResult && hasQuery) {
        const CalculatorAnswer& answer = *intelligence->intelligenceState().calculatorResult;
        PanelRow row{answer.formattedValue, answer.detail.value_or(model.searchText()), "", "=", {}, false};
        c.sections.push_back({SectionKind::calculator, "Calculator", {row}, 0});
      }
      if (intelligence && hasQuery) addWidgets(*intelligence, c.sections);
      PanelSection apps{SectionKind::apps, hasQuery ? "Applications" : "All Applications", {}, 0};
      std::vector<IndexedItem> shown = model.selectionCandidates();
      if (!hasQuery) {
        apps.gridColumns = kAppGridColumns;
        // All of them: the grid scrolls; more than one screenful says how many there are.
        if (shown.size() > kAppGridLimit) apps.title += " (" + std::to_string(shown.size()) + ")";
      }
      for (const IndexedItem& app : shown) {
        PanelRow row{app.name, hasQuery ? "Application" : "", "", "", app, false, app.path};
        row.selected = model.selectedAppID() && *model.selectedAppID() == app.path;
        apps.rows.push_back(row);
      }
      if (!apps.rows.empty()) c.sections.push_back(apps);
      PanelSection files{SectionKind::filePreview, "Files", {}, 0};
      const auto& previews = model.filePreviewResults();
      for (size_t i = 0; i < previews.size() && i < kFilePreviewLimit; ++i) {
        files.rows.push_back(fileRow(previews[i], false));
      }
      if (!files.rows.empty()) c.sections.push_back(files);
      PanelSection messages{SectionKind::messagePreview, "Messages", {}, 0};
      const auto& messagePreviews = model.messagePreviewResults();
      for (size_t i = 0; i < messagePreviews.size() && i < kFilePreviewLimit; ++i) {
        messages.rows.push_back({messagePreviews[i].title, messagePreviews[i].detail, "", "", {}, false});
      }
      if (!messages.rows.empty()) c.sections.push_back(messages);
      if (c.sections.empty()) c.emptyText = hasQuery ? "No results for \u201c" + model.searchText() + "\u201d" : "";
      break;
    }
    case SearchMode::files: {
      c.placeholder = "Search files by name, kind or date";
      c.filterChips = model.fileFilterChips();
      if (!c.filterChips.empty()) c.placeholder = "Backspace drops a filter";
      std::vector<std::string> searched = c.filterChips;
      if (hasQuery) searched.push_back(model.searchText());
      PanelSection files{SectionKind::files, "Files", {}, 0};
      for (const auto& r : model.fileResults()) {
        files.rows.push_back(fileRow(r, model.selectedFileID() && *model.selectedFileID() == r.item.path));
      }
      if (!files.rows.empty()) c.sections.push_back(files);
      if (c.sections.empty()) {
        c.emptyText = model.isSearchingFiles() ? "Searching\u2026"
                      : !searched.empty()      ? "No files match \u201c" + joinStrings(searched, " ") + "\u201d"
                                               : "Type to search the indexed folders";
      }
      break;
    }
    case SearchMode::clipboard:
    case SearchMode::emoji:
    case SearchMode::messages: {
      const bool emoji = c.mode == SearchMode::emoji;
      c.placeholder = emoji                             ? "Search emoji"
                      : c.mode == SearchMode::clipboard ? "Search clipboard history"
                                                        : "Search messages";
      // One section per group of results (the emoji grid's recents and
      // categories), else one for the mode.
      const std::string* group = nullptr;
      for (const ModeResult& r : model.modeResults()) {
        if (!group || *group != r.group) {
          group = &r.group;
          c.sections.push_back({SectionKind::modeResults,
                                r.group.empty() ? modeTitle(c.mode) : r.group,
                                {},
                                emoji ? kEmojiGridColumns : 0});
        }
        PanelRow row{r.title, r.detail, r.tag, "", {}, false, r.identifier};
        row.titleHighlights = r.titleHighlights;
        row.detailHighlights = r.detailHighlights;
        if (emoji) {
          // The emoji mode's title is the character, then its name.
          const size_t space = r.title.find(' ');
          row.glyph = r.title.substr(0, space);
          row.title = space == std::string::npos ? r.detail : r.title.substr(space + 1);
          row.detail = r.detail;
        }
        row.selected = model.selectedModeResultID() && *model.selectedModeResultID() == r.identifier;
        row.media = r.media;
        // A copied file's tile is the file's icon.
        if (r.media && !r.media->tileIconPath.empty()) {
          row.item = IndexedItem{};
          row.item->path = r.media->tileIconPath;
        }
        c.sections.back().rows.push_back(std::move(row));
      }
      if (c.sections.empty()) c.emptyText = emptyModeText(model, c.mode, hasQuery);
      break;
    }
  }
  return c;
}

std::shared_ptr<const ModeResultMedia> selectedDetail(const PanelContent& content) {
  if (content.mode != SearchMode::clipboard) return nullptr;
  for (const PanelSection& s : content.sections) {
    if (s.kind != SectionKind::modeResults) continue;
    for (const PanelRow& row : s.rows) {
      if (row.selected) return row.media;
    }
  }
  return nullptr;
}

std::optional<SectionKind> defaultFocus(const PanelContent& content) {
  const PanelSection* calculator = nullptr;
  const PanelSection* firstNavigable = nullptr;
  for (const PanelSection& s : content.sections) {
    if (s.kind == SectionKind::apps && !s.rows.empty()) {
      for (const PanelRow& r : s.rows) {
        if (r.selected) return SectionKind::apps;
      }
    }
    if (s.kind == SectionKind::calculator) calculator = &s;
    if (!firstNavigable && s.navigable()) firstNavigable = &s;
  }
  if (calculator) return SectionKind::calculator;
  if (firstNavigable) return firstNavigable->kind;
  return std::nullopt;
}

}  // namespace pallix::views
