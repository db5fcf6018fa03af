#include "app/search/PlainWordsVocabulary.h"

#include "app/search/IndexedItem.h"
#include "core/Strings.h"

namespace pallix::plainwords {

const std::vector<KindEntry>& kindTable() {
  static const std::vector<KindEntry> table = [] {
    struct Row {
      std::string_view phrase;
      std::string_view filter;
      bool plural;
    };
    const Row rows[] = {
        {"word documents", "ext:doc,docx,odt", true},
        {"word docs", "ext:doc,docx,odt", true},
        {"word document", "ext:doc,docx,odt", false},
        {"text files", "ext:txt", true},
        {"text file", "ext:txt", true},
        {"source code", "type:code", true},
        {"source files", "type:code", true},
        {"python files", "ext:py", true},
        {"python scripts", "ext:py", true},
        {"slide decks", "ext:ppt,pptx,odp,key,keynote", true},
        {"slide deck", "ext:ppt,pptx,odp,key,keynote", false},
        {"audio files", "type:audio", true},
        {"music files", "type:audio", true},
        {"image files", "type:image", true},
        {"video files", "type:video", true},
        {"zip files", "ext:zip", true},
        {"compressed files", "type:archive", true},
        {"pdf", "ext:pdf", false},
        {"pdfs", "ext:pdf", true},
        {"document", "type:document", false},
        {"documents", "type:document", true},
        {"docs", "type:document", true},
        {"spreadsheet", "ext:xls,xlsx,ods,csv,numbers", false},
        {"spreadsheets", "ext:xls,xlsx,ods,csv,numbers", true},
        {"presentation", "ext:ppt,pptx,odp,key,keynote", false},
        {"presentations", "ext:ppt,pptx,odp,key,keynote", true},
        {"slides", "ext:ppt,pptx,odp,key,keynote", true},
        {"slideshows", "ext:ppt,pptx,odp,key,keynote", true},
        {"photo", "type:image", false},
        {"photos", "type:image", true},
        {"picture", "type:image", false},
        {"pictures", "type:image", true},
        {"pics", "type:image", true},
        {"image", "type:image", false},
        {"images", "type:image", true},
        {"video", "type:video", false},
        {"videos", "type:video", true},
        {"movie", "type:video", false},
        {"movies", "type:video", true},
        {"films", "type:video", true},
        {"clips", "type:video", true},
        {"song", "type:audio", false},
        {"songs", "type:audio", true},
        {"music", "type:audio", true},
        {"audio", "type:audio", true},
        {"tracks", "type:audio", true},
        {"archive", "type:archive", false},
        {"archives", "type:archive", true},
        {"zips", "ext:zip", true},
        {"code", "type:code", true},
        {"scripts", "type:code", true},
        {"ebook", "ext:epub,mobi", false},
        {"ebooks", "ext:epub,mobi", true},
        {"e-books", "ext:epub,mobi", true},
        {"folders", "is:folder", true},
        {"directories", "is:folder", true},
    };
    std::vector<KindEntry> out;
    for (const Row& row : rows)
      out.push_back({splitString(std::string(row.phrase), ' '), std::string(row.filter), row.plural});
    return out;
  }();
  return table;
}
const std::array<std::string_view, 56> kExtensionWords = {
    "pdf", "docx", "xls",  "xlsx", "csv",  "ppt",  "pptx", "odt",  "ods",  "odp", "rtf",  "txt", "epub", "mobi",
    "png", "jpg",  "jpeg", "gif",  "webp", "heic", "tiff", "bmp",  "svg",  "psd", "mp3",  "m4a", "flac", "wav",
    "ogg", "opus", "aac",  "mp4",  "mov",  "avi",  "mkv",  "webm", "m4v",  "zip", "rar",  "7z",  "tgz",  "iso",
    "dmg", "deb",  "rpm",  "py",   "js",   "ts",   "cpp",  "json", "yaml", "xml", "html", "md"};

const std::array<std::string_view, 8> kFolderNames = {"downloads", "documents", "desktop",  "pictures",
                                                      "music",     "videos",    "projects", "home"};

const std::set<std::string_view> kFillers = {"my",   "the",  "all",   "a",    "an",     "some",  "any",   "show",
                                             "find", "me",   "get",   "list", "please", "our",   "your",  "and",
                                             "or",   "that", "which", "i",    "we",     "were",  "was",   "are",
                                             "have", "had",  "ive",   "i've", "been",   "every", "search"};
const std::set<std::string_view> kHeads = {"files", "file", "stuff", "things", "items"};
const std::set<std::string_view> kTopics = {"about",      "regarding",  "named", "called", "titled", "containing",
                                            "mentioning", "concerning", "on",    "with",   "of",     "for"};
const std::set<std::string_view> kPronouns = {"i", "we", "you", "they", "were", "was", "been", "got", "ive", "i've"};
// Verbs before a date; the second says whether they date a file's creation.
const std::vector<std::pair<std::string_view, bool>> kDateVerbs = {
    {"modified", false},  {"changed", false}, {"edited", false}, {"updated", false}, {"saved", false},
    {"touched", false},   {"created", true},  {"made", true},    {"taken", true},    {"added", true},
    {"downloaded", true}, {"shot", true},     {"recorded", true}};

const std::set<std::string_view> kSizeAdjectives = {"big",     "large",    "huge",   "massive", "enormous",
                                                    "giant",   "small",    "tiny",   "empty",   "biggest",
                                                    "largest", "smallest", "larger", "smaller", "bigger"};

// The size a word like "big" means for a kind of file.
std::string adjectiveFilter(std::string_view adjective, std::optional<FileCategory> category) {
  struct Thresholds {
    const char* big;
    const char* huge;
    const char* small;
    const char* tiny;
  };
  Thresholds t{">100mb", ">1gb", "<1mb", "<100kb"};
  if (category == FileCategory::image) t = {">10mb", ">50mb", "<500kb", "<100kb"};
  if (category == FileCategory::document) t = {">10mb", ">100mb", "<100kb", "<10kb"};
  if (category == FileCategory::audio) t = {">20mb", ">200mb", "<1mb", "<100kb"};
  if (category == FileCategory::video) t = {">100mb", ">1gb", "<10mb", "<1mb"};
  if (category == FileCategory::code) t = {">1mb", ">10mb", "<10kb", "<1kb"};
  if (adjective == "empty") return "size:0";
  if (adjective == "huge" || adjective == "massive" || adjective == "enormous" || adjective == "giant")
    return std::string("size:") + t.huge;
  if (adjective == "tiny") return std::string("size:") + t.tiny;
  if (adjective == "small" || adjective == "smaller" || adjective == "smallest") return std::string("size:") + t.small;
  return std::string("size:") + t.big;
}

std::optional<FileCategory> categoryOf(const std::string& kindFilter) {
  if (startsWith(kindFilter, "type:")) return fileCategoryFrom(kindFilter.substr(5));
  if (startsWith(kindFilter, "ext:")) {
    const std::string first = splitString(kindFilter.substr(4), ',').front();
    switch (fileCategoryFromExtension(first)) {
      case IndexedItem::FileCategory::code:
        return FileCategory::code;
      case IndexedItem::FileCategory::document:
        return FileCategory::document;
      case IndexedItem::FileCategory::image:
        return FileCategory::image;
      case IndexedItem::FileCategory::audio:
        return FileCategory::audio;
      case IndexedItem::FileCategory::video:
        return FileCategory::video;
      case IndexedItem::FileCategory::archive:
        return FileCategory::archive;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace pallix::plainwords
