// EmojiAnnotations: the words people use for each emoji, from the Unicode
// CLDR annotation files that Debian's unicode-cldr-core installs
// (annotations/LANG.xml: `<annotation cp="🎉">celebration | party | popper |
// tada</annotation>`). The catalog's names alone miss what people type
// ("tada", "100", "poop"); these are searched beside them.
//
// Pure functions and file reads; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/emoji/EmojiEntry.h"

namespace pallix {

// Lower-cased annotation phrases by emoji, keyed without U+FE0F, in the
// file's order. Text-to-speech names (type="tts") are left out; a line that
// is not an annotation is skipped.
using EmojiAnnotations = std::unordered_map<std::string, std::vector<std::string>>;
EmojiAnnotations parseEmojiAnnotations(std::string_view xml);

// $PALLIX_CLDR_ANNOTATIONS, else /usr/share/unicode/cldr/common/annotations.
std::string emojiAnnotationsDirectory();
// The files to read for the user's language (LC_ALL, LC_MESSAGES, LANG):
// English first, then the language ("de"), then the language with its
// region ("de_CH"), each only when it exists.
std::vector<std::string> emojiAnnotationFiles(const std::string& directory);

// Adds the annotations of every file to the entries they name (phrases an
// entry has already are not repeated). Unreadable files are skipped.
void addEmojiAnnotations(std::vector<EmojiEntry>& entries, const std::vector<std::string>& files);

// `text` without U+FE0F (the emoji presentation selector).
std::string withoutPresentationSelector(std::string_view text);

}  // namespace pallix
