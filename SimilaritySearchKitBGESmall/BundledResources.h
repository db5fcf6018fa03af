// Where the files shipped with Pallix (resources/) are found at run time:
//   1. $PALLIX_RESOURCES;
//   2. beside the executable: <exe dir>/../../resources (a build tree),
//      then <exe dir>/../share/pallix/resources (an installed tree);
//   3. the source tree's resources/ folder, baked in at build time.
#pragma once

#include <string>

#include "core/Error.h"

namespace pallix {

// The full path of resource `name` from the first location that has it.
Result<std::string> findBundledResource(const std::string& name);

// The uncased BERT WordPiece vocabulary ("bert_tokenizer_vocab.txt").
Result<std::string> bundledVocabularyPath();

}  // namespace pallix
